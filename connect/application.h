#pragma once
// What the core needs to know of the application around it: its title and
// its standard error display. The program sets both at start; until then the
// title is "Qorvel" and errors are written to stderr.
//
// Any thread may call these. The display is called outside any lock of this
// service and may run on whichever thread raised the error.
#include <exception>
#include <functional>
#include <string>

namespace qorvel {

using TErrorDisplay = std::function<void(const std::exception& aError)>;

std::string ApplicationTitle();
void SetApplicationTitle(std::string aTitle);

// An empty display restores the stderr one.
void SetErrorDisplay(TErrorDisplay aDisplay);
// Shows `aError` to the user through the current display. A display that
// throws does not reach the caller; the error is then written to stderr.
void ShowException(const std::exception& aError) noexcept;

}  // namespace qorvel
