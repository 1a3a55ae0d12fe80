// Dialog units to pixels, from the dialog's font: the horizontal base is the average width of
// the 52 Latin letters, the vertical base the font's height; x·base/4 and y·base/8, rounded.
#pragma once

#include <QFont>
#include <QRect>

#include "platform/framework/dialog_template.h"

namespace framework {

// The template's font on this system: the Traditional Chinese system face is replaced by the
// installed face that covers the same characters; the size is in points at 96 dots per inch.
QFont DialogFont(const DialogTemplate& dialog);

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace framework
