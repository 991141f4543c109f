#include "config/switches.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "emi/text.h"

namespace qorvel {

namespace {

struct TCommandLine {
  std::mutex mutex;
  bool loaded = false;
  std::vector<std::string> arguments;
  int position = 1;
};

TCommandLine& State() {
  static TCommandLine state;
  return state;
}

// The process's own arguments, NUL-separated in /proc/self/cmdline.
std::vector<std::string> ProcessArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> result;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    result.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

const std::vector<std::string>& Arguments(TCommandLine& state) {
  if (!state.loaded) {
    state.arguments = ProcessArguments();
    state.loaded = true;
  }
  return state.arguments;
}

bool IsSwitch(const std::string& parameter) {
  return !parameter.empty() && (parameter[0] == '-' || parameter[0] == '/');
}

bool Scan(TCommandLine& state, std::string_view Name, TSwitchFlags Flags) {
  const std::vector<std::string>& args = Arguments(state);
  const int last = static_cast<int>(args.size()) - 1;
  if (!(Flags & swContinue)) state.position = 1;
  const bool exact = Flags & swCaseSensitive;
  const std::string name = exact ? std::string(Name) : AsciiUpper(Name);
  while (state.position <= last) {
    const std::string& parameter = args[static_cast<size_t>(state.position)];
    if (IsSwitch(parameter)) {
      if (!name.empty()) {
        std::string_view head = std::string_view(parameter).substr(1, name.size());
        if ((exact ? std::string(head) : AsciiUpper(head)) == name) return true;
      }
    } else if (name.empty()) {
      return true;
    }
    ++state.position;
  }
  return false;
}

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  SetCommandLine(std::move(arguments));
}

void SetCommandLine(std::vector<std::string> aArguments) {
  TCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.arguments = std::move(aArguments);
  state.loaded = true;
  state.position = 1;
}

int ParamCount() {
  TCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  int count = static_cast<int>(Arguments(state).size()) - 1;
  return count < 0 ? 0 : count;
}

std::string ParamStr(int aIndex) {
  TCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  const std::vector<std::string>& args = Arguments(state);
  if (aIndex < 0 || aIndex >= static_cast<int>(args.size())) return {};
  return args[static_cast<size_t>(aIndex)];
}

bool FindSwitch(std::string_view Name, TSwitchFlags Flags) {
  TCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return Scan(state, Name, Flags);
}

bool GetSwitch(std::string_view Name, TSwitchFlags Flags, std::string& Value) {
  TCommandLine& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!Scan(state, Name, Flags)) return false;
  const std::string& parameter = state.arguments[static_cast<size_t>(state.position)];
  std::string value = Name.empty() ? parameter : parameter.substr(1 + Name.size());
  if (Flags & swConvertValue) {
    if (Flags & swUpperValue) {
      value = AsciiUpper(value);
    } else if (Flags & swLowerValue) {
      value = AsciiLower(value);
    }
  }
  Value = std::move(value);
  return true;
}

}  // namespace qorvel
