// Small text helpers shared by the destinations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kav {

// Characters shown on screen: UTF-8 continuation bytes do not count.
int display_length(std::string_view text);
// The text centred in a line of `width` characters (left padding only); a
// longer text is returned whole.
std::string centred(const std::string& text, int width);
std::string spaces(int count);
// Words of `text` wrapped into lines of at most `width` characters; a word
// longer than the width stands on a line of its own, whole.
std::vector<std::string> wrap_words(const std::string& text, int width);
// Longest word (run of non-blanks) of the text.
int longest_word(const std::string& text);
// The text with every byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, exactly as the JSON results replace them.
std::string valid_utf8(std::string_view text);
// Text safe inside HTML elements and quoted attributes, and valid UTF-8.
std::string html_escape(std::string_view text);

}  // namespace kav
