#include "base/notifier.hpp"

#include <atomic>

namespace tabulix {

namespace {
std::atomic<Notifier*> installed{nullptr};
}

Notifier* SetNotifier(Notifier* notifier) { return installed.exchange(notifier); }

void Notify(std::string_view text) {
  if (Notifier* n = installed.load()) n->Notify(text);
}

}  // namespace tabulix
