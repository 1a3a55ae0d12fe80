#include "platform/framework/dialog_units.h"

#include <QFontMetrics>
#include <cmath>
#include <string_view>

namespace framework {
namespace {

constexpr std::string_view kSystemChineseFace = "新細明體";
constexpr const char* kInstalledChineseFace = "AR PL UMing TW";
constexpr int kDotsPerInch = 96;
constexpr int kPointsPerInch = 72;

int RoundedDivide(int numerator, int denominator) {
  return static_cast<int>(std::lround(static_cast<double>(numerator) / denominator));
}

}  // namespace

QFont DialogFont(const DialogTemplate& dialog) {
  const bool systemFace = dialog.fontName == kSystemChineseFace;
  QFont font(QString::fromUtf8(systemFace ? kInstalledChineseFace : dialog.fontName));
  font.setPixelSize(RoundedDivide(dialog.fontPointSize * kDotsPerInch, kPointsPerInch));
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = RoundedDivide(letters, 52);
  baseY_ = metrics.height();
}

int DialogUnits::X(int units) const {
  return RoundedDivide(units * baseX_, 4);
}
int DialogUnits::Y(int units) const {
  return RoundedDivide(units * baseY_, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

}  // namespace framework
