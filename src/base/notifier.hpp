#pragma once
// The seam through which the core asks the front end to tell the user something (the
// message boxes of the desktop program). The command line prints to standard error, the
// desktop program shows a box on its window thread, tests install a recorder. Any thread
// may call Notify.

#include <string_view>

namespace tabulix {

class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void Notify(std::string_view text) = 0;
};

// Installs the front end's notifier (nullptr: messages go nowhere). The notifier must
// outlive every call to Notify. Returns the one installed before.
Notifier* SetNotifier(Notifier* notifier);

void Notify(std::string_view text);

}  // namespace tabulix
