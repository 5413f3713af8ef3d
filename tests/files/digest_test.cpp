// Whole-file digests taken a little at a time are the digest of the whole.
#include "files/digest.h"

#include <fcntl.h>
#include <unistd.h>

#include "files/files_fixture.h"

namespace {

TEST_F(Scratch, DigestTakenInPiecesIsTheWholeFilesAndAShortFileFails) {
    std::string text(200000, 'x');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
    write("f", text);
    int fd = open("f", O_RDONLY);
    ASSERT_GE(fd, 0);
    file_digest whole, pieces;
    digest_start(&whole);
    digest_add(&whole, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    digest_start(&pieces);
    int turns = 0;
    int r = 0;
    while ((r = digest_file(&pieces, fd, 200000, 30000)) == 0) ++turns;
    EXPECT_EQ(r, 1);
    EXPECT_EQ(turns, 6);  // 30,000 bytes a turn
    EXPECT_EQ(digest_value(&pieces), digest_value(&whole));
    EXPECT_EQ(digest_value(&whole), XXH3_64bits(text.data(), text.size()));
    file_digest longer;
    digest_start(&longer);
    EXPECT_EQ(digest_file(&longer, fd, 200001, 1 << 20), -1);
    close(fd);
}

}  // namespace
