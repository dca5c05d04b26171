#pragma once
// Text put into a command line so that a program splitting it the way Windows programs do
// (CommandLineToArgvW, the C runtime's argv) gets it back as it was: whatever quotes, backslashes
// or blanks it holds, it never becomes more than one argument, nor part of another.
#include <string>
#include <string_view>
#include <vector>

namespace cv {

// One argument on its own: as it stands when nothing in it needs quoting, else in quotes, with
// quotes escaped and backslashes doubled where they come before a quote.
std::wstring QuoteArgument(std::wstring_view value);

struct Placeholder {
    std::wstring token;  // such as "%2"
    std::wstring value;
};

// Puts the placeholders' values into configured arguments in one pass (a value is never searched
// for placeholders again). A placeholder the arguments already put inside quotes gets its value
// escaped to stay inside them; a bare one gets it quoted when it holds a blank or is empty, so it
// stays a single argument. The rest of the arguments means what it meant before: they are read
// by the splitting rules and written again, which keeps their text wherever that is unambiguous.
// Earlier placeholders win when two start at the same place.
std::wstring FillArguments(std::wstring_view arguments,
                           const std::vector<Placeholder>& placeholders);

}  // namespace cv
