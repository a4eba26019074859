// The Base64 encoder: the fixed examples, then random input in random pieces
// against coreutils.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cencode.hpp"
#include "counter_support.hpp"

namespace {

// Block calls over the pieces, then the end step.
std::string encode(const std::vector<std::string> &pieces)
{
    size_t total = 0;
    for (const auto &p : pieces) total += p.size();
    std::string out(total * 2 + 16, '\0');
    base64_encodestate s;
    base64_init_encodestate(&s);
    int n = 0;
    for (const auto &p : pieces) n += base64_encode_block(p.data(), static_cast<int>(p.size()), out.data() + n, &s);
    n += base64_encode_blockend(out.data() + n, &s);
    out.resize(static_cast<size_t>(n));
    return out;
}

} // namespace

TEST(Base64, Examples)
{
    struct {
        std::vector<std::string> pieces;
        std::string want;
    } cases[] = {
        {{"abc"}, "YWJj"},
        {{"a"}, "YQ=="},
        {{"ab"}, "YWI="},
        {{"ab", "c"}, "YWJj"},
        {{""}, ""},
        {{"\xff\xff\xff"}, "////"},
        {{"watch:s3cret:x"}, "d2F0Y2g6czNjcmV0Ong="},
    };
    for (const auto &c : cases) EXPECT_EQ(encode(c.pieces), c.want) << c.want;
}

TEST(Base64, MatchesCoreutils)
{
    temp_dir tmp;
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; round++) {
        std::string plain(rng() % 700, '\0');
        for (char &ch : plain) ch = static_cast<char>(rng());
        // The same bytes in random pieces: the state carries groups and lines over.
        std::vector<std::string> pieces;
        for (size_t at = 0; at < plain.size();) {
            size_t n = std::min<size_t>(rng() % 60, plain.size() - at);
            pieces.push_back(plain.substr(at, n));
            at += n;
        }
        std::string ours = encode(pieces);
        const std::string file = tmp.write("in", plain);
        std::string want = test_support::run("base64 -w 72 " + file);
        if (!ours.empty() && ours.back() != '\n') ours += '\n'; // coreutils ends every last line
        ASSERT_EQ(ours, want) << "round " << round << ", " << plain.size() << " bytes";
        EXPECT_EQ(base64_encode_line(plain) + "\n", test_support::run("base64 -w 0 " + file + "; echo"));
    }
}
