// Command-line tails and the arguments Windows' CommandLineToArgvW makes of them, quirks
// included. One table for both platform layers: tests/worker checks the POSIX splitting against
// it, tests/windows/platform_probe.cc the Windows one (run under Wine). The empty tail, which
// gives the running program's own path, is checked by each beside the table.
#pragma once

#include <string>
#include <vector>

namespace testutil {

struct CommandTailCase {
  const char16_t* tail;
  std::vector<std::u16string> arguments;
};

inline const std::vector<CommandTailCase>& CommandTailCases() {
  static const std::vector<CommandTailCase> cases = {
      {u"a b c", {u"a", u"b", u"c"}},
      {uR"("C:\a b\x.exe" one "two three" f\"g "")",
       {uR"(C:\a b\x.exe)", u"one", u"two three", u"f\"g", u""}},
      // The first token is a program name: in quotes it ends at the next quote, whatever
      // precedes it, and the next argument starts right behind it. A setup program started as
      // `installer.exe 'x "y' '' 'p q'` from a shell under Wine receives these three.
      {uR"("x \"y" "" "p q")", {uR"(x \)", u"y \"", u"p q"}},
      {uR"("a"b c)", {u"a", u"b", u"c"}},
      {uR"("only)", {u"only"}},
      // Unquoted, it ends at a blank, and its backslashes and quotes are plain characters.
      {uR"(C:\dir\"x y)", {uR"(C:\dir\"x)", u"y"}},
      {u" a", {u"", u"a"}},
      {u" ", {u""}},
      {u"a\tb\t \tc  \t", {u"a", u"b", u"c"}},
      // Backslashes count only before a quote: 2n give n and a delimiting quote, 2n + 1 give n
      // and a literal quote.
      {uR"(x a\\"b c")", {u"x", uR"(a\b c)"}},
      {uR"(x a\\\"b)", {u"x", uR"(a\"b)"}},
      {uR"(x a\\b\ "c\\")", {u"x", uR"(a\\b\)", uR"(c\)"}},
      // Quotes in a row: inside quotes two give a literal quote and end them; outside, two give
      // nothing and three a literal quote.
      {uR"(x "a""b c")", {u"x", u"a\"b", u"c"}},
      {uR"(x a""b)", {u"x", u"ab"}},
      {uR"(x a"""b c)", {u"x", u"a\"b", u"c"}},
      {uR"(x "" "")", {u"x", u"", u""}},
      {uR"(x "abc)", {u"x", u"abc"}},
  };
  return cases;
}

}  // namespace testutil
