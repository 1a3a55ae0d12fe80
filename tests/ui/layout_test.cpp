// Both dialogs as built from their templates: every control at its converted place, with its
// text, style, tab order and accessible name; nothing clipped at the dialog font.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <string>
#include <vector>

#include "ui/about_dialog.h"
#include "ui/updater_dialog.h"

namespace ui {
namespace {

using framework::DialogUnits;

struct ExpectedControl {
  int id;
  const char* widgetClass;
  const char* text;
  int x, y, width, height;  // dialog units
  bool tabStop;
  const char* accessibleName;
  QAccessible::Role role;
};

const std::vector<ExpectedControl> kMainControls = {
    {-1, "QLabel", "Select File", 14, 42, 36, 8, false, "Select File", QAccessible::StaticText},
    {1021, "QLineEdit", "", 55, 37, 176, 14, true, "Select File", QAccessible::EditableText},
    {1023, "QPushButton", "Browse", 261, 38, 50, 14, true, "Browse", QAccessible::Button},
    {-1, "QLabel", "COM PORT", 11, 18, 36, 8, false, "COM PORT", QAccessible::StaticText},
    {1024, "QComboBox", "", 56, 16, 48, 153, true, "COM PORT", QAccessible::ComboBox},
    {1025, "QProgressBar", "", 12, 65, 216, 14, false, "Progress1", QAccessible::ProgressBar},
    {1026, "QPushButton", "Update", 264, 64, 48, 14, true, "Update", QAccessible::Button},
    {1027, "QLabel", "0", 234, 68, 8, 8, false, "0", QAccessible::StaticText},
    {-1, "QLabel", "%", 246, 68, 8, 8, false, "%", QAccessible::StaticText},
};

const std::vector<ExpectedControl> kAboutControls = {
    {-1, "QLabel", "", 11, 17, 20, 20, false, "Ovrin Update", QAccessible::Graphic},
    {-1, "QLabel", "Version 1.0", 40, 10, 119, 8, false, "Version 1.0", QAccessible::StaticText},
    {-1, "QLabel", "Firmware update tool for Ovrin devices", 40, 25, 119, 8, false,
     "Firmware update tool for Ovrin devices", QAccessible::StaticText},
    {1, "QPushButton", "OK", 178, 7, 50, 14, true, "OK", QAccessible::Button},
};

bool StartNothing(job::UpdateJob&, job::OperatorSurface&) {
  return true;
}

QString TextOf(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  return {};
}

// Where a control stands: its template rectangle in pixels, except that a text label is never
// narrower than its text (a right-aligned one grows to the left), an icon takes the icon's
// size and a combo box's closed height is the style's.
QRect ExpectedGeometry(const ExpectedControl& c, QWidget* widget, const DialogUnits& units) {
  QRect area = units.Rect(c.x, c.y, c.width, c.height);
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    if (!label->pixmap().isNull()) return QRect(area.topLeft(), QSize(32, 32));
    const int width = std::max(area.width(), label->fontMetrics().horizontalAdvance(c.text));
    if (label->alignment() & Qt::AlignRight) area.setLeft(area.right() + 1 - width);
    area.setWidth(width);
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget)) area.setHeight(combo->sizeHint().height());
  return area;
}

void ExpectControls(const framework::CDialog& dialog, const std::vector<ExpectedControl>& all) {
  ASSERT_EQ(dialog.Template().controls.size(), all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const ExpectedControl& c = all[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (" + c.accessibleName + ")");
    QWidget* widget = dialog.ControlWidget(i);
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), c.widgetClass);
    EXPECT_EQ(dialog.Template().controls[i].id, c.id);
    EXPECT_EQ(widget->geometry(), ExpectedGeometry(c, widget, dialog.Units()));
    if (!qobject_cast<QProgressBar*>(widget)) {
      EXPECT_EQ(TextOf(widget), QString(c.text));
    }
    EXPECT_TRUE(widget->isVisible());
    EXPECT_TRUE(widget->isEnabled());
    EXPECT_EQ((widget->focusPolicy() & Qt::TabFocus) != 0, c.tabStop);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->text(QAccessible::Name), QString(c.accessibleName));
    EXPECT_EQ(accessible->role(), c.role);
  }
}

// The controls that Tab visits, in order, starting from `first`.
std::vector<QWidget*> TabCycle(QWidget* first) {
  std::vector<QWidget*> cycle{first};
  for (QWidget* w = first->nextInFocusChain(); w != first; w = w->nextInFocusChain()) {
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() &&
        w->window() == first->window() && w != first->window()) {
      cycle.push_back(w);
    }
  }
  return cycle;
}

std::vector<QLabel*> TextLabels(QWidget* window) {
  std::vector<QLabel*> labels;
  for (QLabel* label : window->findChildren<QLabel*>()) {
    if (label->pixmap().isNull()) labels.push_back(label);
  }
  return labels;
}

void ExpectNothingClipped(QWidget* window) {
  for (QLabel* label : TextLabels(window)) {
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
        << label->text().toStdString();
  }
}

TEST(DialogFont, IsTheInstalledChineseFaceAndGivesTheBaseUnits) {
  CUpdaterDialog dialog(nullptr, StartNothing);
  ASSERT_TRUE(dialog.Create());
  const QFont font = dialog.Window()->font();
  EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("AR PL UMing TW"));
  EXPECT_EQ(font.pixelSize(), 13);  // 10 points at 96 dots per inch
  const QFontMetrics metrics(font);
  const double letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ(dialog.Units().BaseX(), qRound(letters / 52));
  EXPECT_EQ(dialog.Units().BaseY(), metrics.height());
}

TEST(MainDialogLayout, EveryControlAsTheTemplateSays) {
  CUpdaterDialog dialog(nullptr, StartNothing);
  ASSERT_TRUE(dialog.Create());
  QDialog* window = dialog.Window();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Ovrin Controller Firmware Update AP V1.0.0.7"));
  EXPECT_EQ(window->size(), QSize(dialog.Units().X(326), dialog.Units().Y(94)));
  EXPECT_EQ(window->minimumSize(), window->maximumSize());
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
  ExpectControls(dialog, kMainControls);

  auto* edit = qobject_cast<QLineEdit*>(dialog.ControlWidget(1));
  EXPECT_TRUE(edit->hasFrame());
  EXPECT_FALSE(edit->isReadOnly());
  EXPECT_FALSE(qobject_cast<QComboBox*>(dialog.ControlWidget(4))->isEditable());
  for (QPushButton* button : window->findChildren<QPushButton*>())
    EXPECT_FALSE(button->isDefault());
  EXPECT_TRUE(qobject_cast<QLabel*>(dialog.ControlWidget(7))->alignment() & Qt::AlignRight);
  EXPECT_TRUE(qobject_cast<QLabel*>(dialog.ControlWidget(8))->alignment() & Qt::AlignLeft);
  EXPECT_EQ(window->focusWidget(), edit);  // the first tab stop has the focus at start
}

TEST(MainDialogLayout, TabVisitsTheControlsInTemplateOrder) {
  CUpdaterDialog dialog(nullptr, StartNothing);
  ASSERT_TRUE(dialog.Create());
  const std::vector<QWidget*> expected = {dialog.ControlWidget(1), dialog.ControlWidget(2),
                                          dialog.ControlWidget(4), dialog.ControlWidget(6)};
  EXPECT_EQ(TabCycle(dialog.ControlWidget(1)), expected);
}

TEST(MainDialogLayout, PortListHasSixteenPortsAndNoSelection) {
  CUpdaterDialog dialog(nullptr, StartNothing);
  ASSERT_TRUE(dialog.Create());
  auto* combo = qobject_cast<QComboBox*>(dialog.ControlWidget(4));
  ASSERT_EQ(combo->count(), 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(combo->itemText(i), QStringLiteral("COM%1").arg(i + 1, 2, 10, QLatin1Char('0')));
  }
  EXPECT_EQ(combo->currentIndex(), -1);
  EXPECT_TRUE(combo->currentText().isEmpty());
}

TEST(MainDialogLayout, NoTextClippedAtTheDialogFontEvenAtOneHundredPercent) {
  CUpdaterDialog dialog(nullptr, StartNothing);
  ASSERT_TRUE(dialog.Create());
  ExpectNothingClipped(dialog.Window());
  auto* percent = qobject_cast<QLabel*>(dialog.ControlWidget(7));
  const int rightEdge = percent->geometry().right();
  dialog.SetPercentText("100");
  ExpectNothingClipped(dialog.Window());
  EXPECT_EQ(percent->geometry().right(), rightEdge);  // right-aligned text grows to the left
  EXPECT_LT(percent->geometry().left(), dialog.Units().X(234));
  EXPECT_GT(percent->geometry().left(), dialog.ControlWidget(5)->geometry().right());
}

TEST(AboutDialogLayout, EveryControlAsTheTemplateSays) {
  CAboutDialog about;
  ASSERT_TRUE(about.Create());
  QDialog* window = about.Window();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("About Ovrin Controller Firmware Update AP"));
  EXPECT_EQ(window->font().pixelSize(), 12);  // 9 points
  EXPECT_EQ(window->size(), QSize(about.Units().X(235), about.Units().Y(55)));
  ExpectControls(about, kAboutControls);
  EXPECT_TRUE(qobject_cast<QPushButton*>(about.ControlWidget(3))->isDefault());
  EXPECT_FALSE(qobject_cast<QLabel*>(about.ControlWidget(0))->pixmap().isNull());
  ExpectNothingClipped(window);
}

}  // namespace
}  // namespace ui
