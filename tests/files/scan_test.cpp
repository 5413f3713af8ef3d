// Typed words, wildcard expansion and matching.
#include "files/scan.h"

#include <algorithm>

#include "files_fixture.h"

using Scan = Scratch;

TEST(WildMatch, CaseBlindStarsAndQuestionMarks) {
    struct {
        const char *name, *pattern;
        int match;
    } cases[] = {{"abx", "a?x", 1},     {"ABX", "a?x", 1},     {"ax", "a?x", 0},
                 {"banana", "*a", 1},   {"bananas", "*a", 0},  {"a", "a*", 1},
                 {"x.zip", "*.ZIP", 1}, {"Y.Zip", "*.ZIP", 1}, {"x.zipx", "*.ZIP", 0},
                 {".hidden", "*", 1},   {"", "**", 1},         {"abc", "a*d*", 0},
                 {"ab", "*?b", 1},   // '?' after a star still takes any one character
                 {"*ab", "*b", 1}};  // a star in the name is an ordinary character
    for (const auto& c : cases) EXPECT_EQ(wild_match(c.name, c.pattern), c.match) << c.name;
    // Many stars against a long near-miss must finish, not backtrack for ever.
    EXPECT_FALSE(wild_match(std::string(255, 'a').c_str(), "*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST(NextWord, BlanksOnlySeparateAndLongWordsArePassedOver) {
    char word[10];
    const char* at = next_word("   one  two\tfor  ", word, sizeof word);
    EXPECT_STREQ(word, "one");
    at = next_word(at, word, sizeof word);
    EXPECT_STREQ(word, "two\tfor");  // a tab is part of the word
    EXPECT_EQ(next_word(at, word, sizeof word), nullptr);
    EXPECT_EQ(next_word(nullptr, word, sizeof word), nullptr);
    at = next_word("1234567890 123456789", word, sizeof word);
    EXPECT_STREQ(word, "");
    next_word(at, word, sizeof word);
    EXPECT_STREQ(word, "123456789");
}

TEST_F(Scan, WordsWithWildcardsExpandInTheirDirectory) {
    for (const char* name : {"d/x.zip", "d/Y.Zip", "d/n.txt", "plain"}) write(name, "");
    fs::create_directory("d/sub.zip");  // matches, but is no regular file
    add_upload_words("  d/*.ZIP   plain  nowhere/*  ");
    Strings got = names(files.upload_queue);
    ASSERT_EQ(got.size(), 3u);
    std::sort(got.begin(), got.end() - 1);  // the directory's order is its own
    EXPECT_EQ(got, (Strings{"d/Y.Zip", "d/x.zip", "plain"}));
    add_request_words(" *.zip  b ");  // requests are never expanded
    EXPECT_EQ(names(files.request_queue), (Strings{"*.zip", "b"}));
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
