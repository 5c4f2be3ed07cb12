#pragma once

#include <QString>

// The user guide, Tarvello.pdf.
namespace Documentation {

// Beside the executable, or in the installed documentation folder
// (share/doc/tarvello beside the executable's bin folder); empty when
// neither holds it.
QString path();

// Opens the guide in the desktop's viewer, or says that it is missing.
void open();

} // namespace Documentation
