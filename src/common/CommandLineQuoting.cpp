#include "common/CommandLineQuoting.h"

namespace cv {

namespace {

// Blanks split arguments; the others are quoted too, so that a command interpreter that reads
// the line does not take them as its own operators outside quotes.
bool NeedsQuotes(std::wstring_view value) {
    return value.empty() || value.find_first_of(L" \t\n\v&|<>^") != std::wstring_view::npos;
}

// What the line means to the splitter: characters of an argument, a quote that opens or closes
// quoting, and a blank that ends an argument.
struct Piece {
    enum class Kind { Character, Quote, Blank };
    Kind kind;
    wchar_t character = 0;
};

void AddCharacters(std::vector<Piece>& pieces, std::wstring_view text) {
    for (const wchar_t c : text) {
        pieces.push_back({Piece::Kind::Character, c});
    }
}

const Placeholder* PlaceholderAt(std::wstring_view text, std::size_t at,
                                 const std::vector<Placeholder>& placeholders) {
    for (const Placeholder& placeholder : placeholders) {
        if (!placeholder.token.empty() &&
            text.substr(at, placeholder.token.size()) == std::wstring_view(placeholder.token)) {
            return &placeholder;
        }
    }
    return nullptr;
}

// Writes the pieces back as a command line. A quote that would close quoting right before one
// that opens it again is left out with it: two quotes in a row inside quotes are read
// differently by different splitters, and the pair changes nothing.
std::wstring Write(const std::vector<Piece>& pieces) {
    std::wstring line;
    std::size_t backslashes = 0;  // pending: doubled only when a quote follows
    bool quoted = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        switch (piece.kind) {
            case Piece::Kind::Character:
                if (piece.character == L'\\') {
                    ++backslashes;
                    continue;
                }
                if (piece.character == L'"') {
                    line.append(backslashes * 2 + 1, L'\\');
                } else {
                    line.append(backslashes, L'\\');
                }
                line += piece.character;
                break;
            case Piece::Kind::Blank:
                line.append(backslashes, L'\\');
                line += piece.character;
                break;
            case Piece::Kind::Quote:
                if (quoted && i + 1 < pieces.size() && pieces[i + 1].kind == Piece::Kind::Quote) {
                    ++i;
                    continue;
                }
                line.append(backslashes * 2, L'\\');
                line += L'"';
                quoted = !quoted;
                break;
        }
        backslashes = 0;
    }
    line.append(backslashes, L'\\');
    return line;
}

}  // namespace

std::wstring QuoteArgument(std::wstring_view value) {
    return FillArguments(L"%", {{L"%", std::wstring(value)}});
}

std::wstring FillArguments(std::wstring_view arguments,
                           const std::vector<Placeholder>& placeholders) {
    // Read by the rules of the C runtime's splitter: 2n backslashes before a quote are n
    // backslashes and the quote opens or closes quoting; 2n + 1 are n backslashes and a quote
    // character; backslashes before anything else are themselves; inside quotes two quotes are
    // one quote character.
    std::vector<Piece> pieces;
    bool quoted = false;
    std::size_t at = 0;
    while (at < arguments.size()) {
        if (const Placeholder* placeholder = PlaceholderAt(arguments, at, placeholders)) {
            const bool quote = !quoted && NeedsQuotes(placeholder->value);
            if (quote) {
                pieces.push_back({Piece::Kind::Quote});
            }
            AddCharacters(pieces, placeholder->value);
            if (quote) {
                pieces.push_back({Piece::Kind::Quote});
            }
            at += placeholder->token.size();
            continue;
        }
        const wchar_t c = arguments[at];
        if (c == L'\\') {
            std::size_t end = at;
            while (end < arguments.size() && arguments[end] == L'\\') {
                ++end;
            }
            const std::size_t count = end - at;
            if (end < arguments.size() && arguments[end] == L'"') {
                pieces.insert(pieces.end(), count / 2, {Piece::Kind::Character, L'\\'});
                if (count % 2 == 1) {
                    pieces.push_back({Piece::Kind::Character, L'"'});
                    at = end + 1;
                } else {
                    at = end;  // the quote is read next
                }
            } else {
                pieces.insert(pieces.end(), count, {Piece::Kind::Character, L'\\'});
                at = end;
            }
            continue;
        }
        if (c == L'"') {
            if (quoted && at + 1 < arguments.size() && arguments[at + 1] == L'"') {
                pieces.push_back({Piece::Kind::Character, L'"'});
                at += 2;
                continue;
            }
            pieces.push_back({Piece::Kind::Quote});
            quoted = !quoted;
            ++at;
            continue;
        }
        pieces.push_back(
            {!quoted && (c == L' ' || c == L'\t') ? Piece::Kind::Blank : Piece::Kind::Character,
             c});
        ++at;
    }
    return Write(pieces);
}

}  // namespace cv
