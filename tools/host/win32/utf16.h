// UTF-8 <-> UTF-16 at the edge of the Windows calls.
#pragma once

#include <string>

namespace mvhost::os {

std::wstring widen(const std::string &utf8);
std::string narrow(const std::wstring &wide);

} // namespace mvhost::os
