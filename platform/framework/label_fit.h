// Keeps static text whole: a label narrower than its text at the label's font grows to fit.
#pragma once

class QLabel;

namespace framework {

// Widens `label` to at least its text's width, never below `minimumWidth`. A label whose text is
// aligned right keeps its right edge and grows to the left; any other keeps its left edge.
void GrowLabelToText(QLabel& label, int minimumWidth);

}  // namespace framework
