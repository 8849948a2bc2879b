// Text helpers of the socket layer: fields of a delimited text, positions of a
// delimiter, and writing a protocol line to a stream. Pure functions of their
// arguments; none of them raises except StreamLn, which passes on stream errors.
#pragma once

#include <string>

namespace kestrel {

class TStream;

// The n-th field of text (numbered from 1), fields being separated by single
// delimiter characters. Two adjacent delimiters enclose an empty field; a
// delimiter never belongs to the result. Empty when the text has fewer than n
// fields, when n is 0 or negative, or when the text is empty.
//   NthWord("a b c", ' ', 2) == "b"      NthWord("a  b", ' ', 3) == "b"
//   NthWord("257 \"/web\" is cwd", '"', 2) == "/web"
std::string NthWord(const std::string& text, char delimiter, int n);

// The 1-based position of the n-th occurrence of delimiter in text. When there
// are fewer than n occurrences (n 0 or negative included), and also when the n-th
// occurrence is the last character of the text, the result is the length of the
// text plus 1, that is "past the end". Texts longer than an int can count are
// searched only as far as an int can point.
int NthPos(const std::string& text, char delimiter, int n);

// Writes text followed by a carriage return and a line feed to stream.
void StreamLn(TStream& stream, const std::string& text);

} // namespace kestrel
