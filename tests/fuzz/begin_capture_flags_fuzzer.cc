// The beginCapture query flags, from any bytes. The flags come from a plain substring search of
// the query string alone; checked here against a byte-by-byte search of our own, together with
// what follows from it:
//  - the values are only ever 1 or 2 (mode) and 0 or 1 (anti-fake);
//  - text around the query string can only set flags, never clear them;
//  - through the request target, only the text after the first "?" counts.
#include "capture/begin_capture.h"
#include "rest/router.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool containsAt(std::string_view text, std::size_t at, std::string_view word) {
  if (at + word.size() > text.size())
    return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (text[at + i] != word[i])
      return false;
  return true;
}

bool contains(std::string_view text, std::string_view word) {
  for (std::size_t at = 0; at < text.size(); ++at)
    if (containsAt(text, at, word))
      return true;
  return false;
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The input cut in two: a query string, and the text that is put around it.
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const std::string_view query = bytes.substr(0, cut);
  const std::string_view around = bytes.substr(cut);

  const capture::BeginCaptureFlags flags = capture::beginCaptureFlags(query);
  check(flags.modeArg == 1 || flags.modeArg == 2, "mode is 1 or 2");
  check(flags.fakeArg == 0 || flags.fakeArg == 1, "anti-fake is 0 or 1");
  check((flags.modeArg == 2) == contains(query, "type=2"), "mode 2 exactly when type=2 is there");
  check((flags.fakeArg == 0) == contains(query, "FakeFunOn=0"),
        "anti-fake 0 exactly when FakeFunOn=0 is there");

  const std::string longer = std::string(around) + std::string(query) + std::string(around);
  const capture::BeginCaptureFlags more = capture::beginCaptureFlags(longer);
  check(flags.modeArg == 1 || more.modeArg == 2, "added text cleared type=2");
  check(flags.fakeArg == 1 || more.fakeArg == 0, "added text cleared FakeFunOn=0");

  // Before the first "?" everything is path: flags there never count.
  std::string path(around);
  for (char& c : path)
    if (c == '?')
      c = '/';
  const std::string requestTarget = path + "?" + std::string(query);
  const rest::RequestTarget target = rest::splitTarget(requestTarget);
  check(target.uri == path, "the path ends at the first ?");
  check(target.queryString == query, "the query string is everything after the first ?");
  const capture::BeginCaptureFlags routed = capture::beginCaptureFlags(target.queryString);
  check(routed.modeArg == flags.modeArg && routed.fakeArg == flags.fakeArg,
        "text before the ? set a flag");
  return 0;
}
