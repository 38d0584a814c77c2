// Numbers for log lines with a fixed count of decimals and always a decimal
// point: printf's %f follows the process's locale, and a host running in a
// decimal-comma locale would otherwise turn 0.5 into "0,5000".
#pragma once

namespace mv {

struct FixedText {
    char text[64];
};

// value with `decimals` digits after the point, rounded as printf's %.Nf does.
[[nodiscard]] FixedText fixed(double value, int decimals) noexcept;

} // namespace mv
