// Icons: a resource holds a 32 x 32 and a 16 x 16 picture (XPM data); loading one gives a handle
// that lives as long as the process, as icon handles loaded from resources do.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace framework {

struct IconResource {
  int id = 0;
  const char* name = "";               // what a screen reader calls the picture
  const char* const* large = nullptr;  // 32 x 32
  const char* const* small = nullptr;  // 16 x 16
};

class IconObject {
 public:
  explicit IconObject(const IconResource& resource);
  const QIcon& icon() const { return icon_; }
  // The picture at `size` pixels square, from the nearest picture the resource holds.
  QPixmap Picture(int size) const;

 private:
  QIcon icon_;
};

using HICON = const IconObject*;

// Loads the icon once and hands out the same handle afterwards. UI thread only.
HICON LoadIcon(const IconResource& resource);

}  // namespace framework
