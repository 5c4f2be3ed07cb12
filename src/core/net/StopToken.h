#pragma once

// The text that ends the message listener during the program's own stop: 38
// ASCII characters in the registry form of a GUID.
inline constexpr char StopToken[] = "{7A4E2C19-3B5D-4F60-9E81-C2D4A6B8F013}";
static_assert(sizeof(StopToken) - 1 == 38);
