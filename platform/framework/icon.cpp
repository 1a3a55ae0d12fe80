#include "platform/framework/icon.h"

#include <map>
#include <memory>

namespace framework {

IconObject::IconObject(const IconResource& resource) {
  icon_.addPixmap(QPixmap(resource.large));
  icon_.addPixmap(QPixmap(resource.small));
}

QPixmap IconObject::Picture(int size) const {
  return icon_.pixmap(size, size);
}

HICON LoadIcon(const IconResource& resource) {
  static std::map<const IconResource*, std::unique_ptr<IconObject>> loaded;
  auto& slot = loaded[&resource];
  if (!slot) slot = std::make_unique<IconObject>(resource);
  return slot.get();
}

}  // namespace framework
