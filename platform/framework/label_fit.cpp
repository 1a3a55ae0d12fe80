#include "platform/framework/label_fit.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

namespace framework {

void GrowLabelToText(QLabel& label, int minimumWidth) {
  const int needed = label.fontMetrics().horizontalAdvance(label.text());
  const int width = std::max(minimumWidth, needed);
  if (width == label.width()) return;
  QRect geometry = label.geometry();
  if ((label.alignment() & Qt::AlignRight) != 0) {
    geometry.setLeft(geometry.right() + 1 - width);
  } else {
    geometry.setWidth(width);
  }
  label.setGeometry(geometry);
}

}  // namespace framework
