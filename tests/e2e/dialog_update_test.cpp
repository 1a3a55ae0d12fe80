// Complete updates through the dialog as a technician runs them: the Keyboard and Joystick paths,
// and packages that hold more than the entry sent. The worker's failures, no port selected and
// closing the dialog are rows of the fault matrix.
#include <gtest/gtest.h>

#include "dialog_scenario.h"

namespace e2e {
namespace {

class DialogUpdate : public ::testing::TestWithParam<Scenario> {};

TEST_P(DialogUpdate, CompletesAndReturnsToTheOpeningCondition) {
  RunScenario(GetParam());
}

const Scenario kUpdates[] = {
    // Announced at 9600, sent at 57600.
    {.name = "Keyboard", .package = {}, .reopens = false, .transferSpeed = 57600},
    // Never announced: the port is closed, opened again after the pause, and used at 9600.
    {.name = "Joystick", .package = {.type = "joystick"}, .reopens = true, .transferSpeed = 9600},
    {.name = "SecondEntryAfterTheSelectedOne", .package = {.extraEntryId = 2}},
    {.name = "TextAfterTheLastPayload", .package = {.trailing = "END OF PACKAGE\r\n"}},
};

INSTANTIATE_TEST_SUITE_P(Paths, DialogUpdate, ::testing::ValuesIn(kUpdates), NameOfRow);

}  // namespace
}  // namespace e2e
