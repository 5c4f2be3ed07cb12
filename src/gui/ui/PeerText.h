#pragma once

#include <QString>

// Text from a peer in a label that wraps: a run without spaces longer than
// `run` characters gets zero-width break opportunities, so that the label
// wraps anywhere in it instead of growing wider than the screen. The text
// reads the same.
QString breakableText(const QString &text, int run = 20);
