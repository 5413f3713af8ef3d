// Typed words, wildcard expansion and matching.
#include <algorithm>
#include <string>
#include <vector>

#include "files/scan.h"
#include "scratch.h"

using Scan = Scratch;
using Strings = std::vector<std::string>;

TEST(WildMatch, CaseBlindStarsAndQuestionMarks) {
    EXPECT_TRUE(wild_match("abx", "a?x"));
    EXPECT_TRUE(wild_match("ABX", "a?x"));
    EXPECT_FALSE(wild_match("ax", "a?x"));
    EXPECT_TRUE(wild_match("banana", "*a"));
    EXPECT_FALSE(wild_match("bananas", "*a"));
    EXPECT_TRUE(wild_match("a", "a*"));
    EXPECT_TRUE(wild_match("x.zip", "*.ZIP"));
    EXPECT_TRUE(wild_match("Y.Zip", "*.ZIP"));
    EXPECT_FALSE(wild_match("x.zipx", "*.ZIP"));
    EXPECT_TRUE(wild_match(".hidden", "*"));
    EXPECT_TRUE(wild_match("", "**"));
    EXPECT_TRUE(wild_match("ab", "*?b"));   // '?' after a star still takes any one
    EXPECT_TRUE(wild_match("*ab", "*b"));   // a star in the name is no special case
    EXPECT_FALSE(wild_match("abc", "a*d*"));
    // Many stars against a long near-miss must finish, not backtrack for ever.
    EXPECT_FALSE(wild_match(std::string(255, 'a').c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(NextWord, BlanksOnlySeparate) {
    const char* line = "   one  two\tthree   ";
    char word[16];
    const char* at = next_word(line, word, sizeof word);
    EXPECT_STREQ(word, "one");
    at = next_word(at, word, sizeof word);
    EXPECT_STREQ(word, "two\tthree");  // a tab is part of the word
    EXPECT_EQ(next_word(at, word, sizeof word), nullptr);
    EXPECT_EQ(next_word("    ", word, sizeof word), nullptr);
    EXPECT_EQ(next_word(nullptr, word, sizeof word), nullptr);
    // A word too long for the buffer is passed over empty, and the next one follows.
    char small[8];
    at = next_word("12345678 1234567", small, sizeof small);
    EXPECT_STREQ(small, "");
    at = next_word(at, small, sizeof small);
    EXPECT_STREQ(small, "1234567");
    EXPECT_EQ(next_word(at, small, sizeof small), nullptr);
}

TEST_F(Scan, WordsWithWildcardsExpandInTheirDirectory) {
    write("d/x.zip", "");
    write("d/Y.Zip", "");
    write("d/n.txt", "");
    std::filesystem::create_directory("d/sub.zip");  // matches, but is no regular file
    write("plain", "");
    add_upload_words("  d/*.ZIP   plain  nowhere/*  ");
    Strings got = names(files.upload_queue);
    ASSERT_EQ(got.size(), 3u);
    std::sort(got.begin(), got.end() - 1);  // the directory's order is its own
    EXPECT_EQ(got, (Strings{"d/Y.Zip", "d/x.zip", "plain"}));
}

TEST_F(Scan, BarePatternMatchesTheCurrentDirectory) {
    write(".dot", "");
    write("two/.dot", "");
    add_upload_words("*");
    EXPECT_EQ(names(files.upload_queue), Strings{".dot"});
    queue_free_all(&files.upload_queue);
    // With search directories set, a match here must not be looked up there instead.
    add_argument_name("two");
    add_upload_words(".d?t");
    EXPECT_EQ(names(files.upload_queue), Strings{"./.dot"});
}

TEST_F(Scan, RequestWordsAreTakenUnchanged) {
    add_request_words(" *.zip  b ");
    EXPECT_EQ(names(files.request_queue), (Strings{"*.zip", "b"}));
}
