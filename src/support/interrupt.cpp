#include "support/interrupt.hpp"

namespace fernquill {
namespace {

// Defined once, in the engine, so that both extension modules and the engine
// see one token per thread.
thread_local Interrupt* t_current = nullptr;

}  // namespace

Interrupt* current_interrupt() noexcept { return t_current; }

InterruptScope::InterruptScope(Interrupt& token) noexcept : previous_(t_current) {
  t_current = &token;
}

InterruptScope::~InterruptScope() { t_current = previous_; }

}  // namespace fernquill
