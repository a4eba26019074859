// The test tools against documents built with libbson and signatures from sha1sum.
#include <arpa/inet.h>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// A temporary directory, removed with everything in it.
struct temp_dir {
    std::string path;
    temp_dir()
    {
        char tmpl[] = "/tmp/tools_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~temp_dir() { std::filesystem::remove_all(path); }
};

bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct result {
    int status;
    std::string out;
};

// Runs `cmd FILE` with the bytes in FILE; its standard output and exit status.
result run_on(const std::string &cmd, const bytes &input)
{
    temp_dir dir;
    std::string file = dir.path + "/in";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(input.data()), std::ssize(input));
    result r{-1, ""};
    FILE *p = popen((cmd + " " + file + " 2>/dev/null").c_str(), "r");
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    int st = pclose(p);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

bytes of(const bson_t *b) { return bytes(bson_get_data(b), bson_get_data(b) + b->len); }

// The packet: the document and 40 hex digits of SHA-1(document + secret), by sha1sum.
bytes signed_packet(const bytes &doc, const std::string &secret)
{
    bytes keyed = doc;
    keyed.insert(keyed.end(), secret.begin(), secret.end());
    std::string sig = run_on("sha1sum", keyed).out.substr(0, 40);
    bytes packet = doc;
    packet.insert(packet.end(), sig.begin(), sig.end());
    return packet;
}

// The types a report holds.
TEST(Bson2Json, TypesDepthFirst)
{
    bson_t *b = bson_new();
    BSON_APPEND_DOUBLE(b, "d", 0.1);
    BSON_APPEND_UTF8(b, "s", "a\\b\tc\nd\x01\xc3\xa9");
    bson_t sub, arr, inner;
    BSON_APPEND_DOCUMENT_BEGIN(b, "mem", &sub);
    BSON_APPEND_INT64(&sub, "total", -5000000000LL);
    bson_append_document_end(b, &sub);
    // The agent's arrays hold named documents, not "0", "1", ...
    BSON_APPEND_ARRAY_BEGIN(b, "custom", &arr);
    BSON_APPEND_DOCUMENT_BEGIN(&arr, "disk_root", &inner);
    BSON_APPEND_INT32(&inner, "value", -7);
    bson_append_document_end(&arr, &inner);
    bson_append_array_end(b, &arr);
    BSON_APPEND_BOOL(b, "t", true);
    BSON_APPEND_BOOL(b, "f", false);
    BSON_APPEND_INT32(b, "a.b\t", 3);
    result r = run_on(BSON2JSON, of(b));
    bson_destroy(b);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "d\tdouble\t0.10000000000000001\n"
                     "s\tstring\ta\\\\b\\tc\\nd\\x01\\xc3\\xa9\n"
                     "mem\tdocument\t\n"
                     "mem.total\tint64\t-5000000000\n"
                     "custom\tarray\t\n"
                     "custom.disk_root\tdocument\t\n"
                     "custom.disk_root.value\tint32\t-7\n"
                     "t\tbool\ttrue\n"
                     "f\tbool\tfalse\n"
                     "a.b\\t\tint32\t3\n");
}

TEST(Bson2Json, PacketsAndRefusals)
{
    bson_t *b = BCON_NEW("a", BCON_INT32(1));
    const bytes doc = of(b);
    bson_destroy(b);
    const bytes packet = signed_packet(doc, "");
    const struct {
        const char *what;
        bytes input;
        const char *args;
        int status;
        const char *out;
    } cases[] = {
        {"document", doc, "", 0, "a\tint32\t1\n"},
        {"signed packet", packet, "--packet", 0, "a\tint32\t1\n"},
        {"unsigned packet", doc, "--packet", 0, "a\tint32\t1\n"},
        {"signature without --packet", packet, "", 1, ""},
        {"39 trailing digits", bytes(packet.begin(), packet.end() - 1), "--packet", 1, ""},
        {"invalid UTF-8 key", {0x0c, 0, 0, 0, 0x10, 0xff, 0, 1, 0, 0, 0, 0}, "", 1, ""},
        // libbson alone lets the next four through.
        {"value cut inside a character", {0x0f, 0, 0, 0, 0x02, 's', 0, 3, 0, 0, 0, 'a', 0xc3, 0, 0}, "", 1, ""},
        {"overlong sequence", {0x10, 0, 0, 0, 0x02, 's', 0, 4, 0, 0, 0, 0xe0, 0x80, 0x80, 0, 0}, "", 1, ""},
        {"nested key cut inside a character",
         {0x15, 0, 0, 0, 0x03, 'o', 0, 0x0d, 0, 0, 0, 0x02, 0xc3, 0, 1, 0, 0, 0, 0, 0, 0}, "", 1, ""},
        {"surrogate", {0x10, 0, 0, 0, 0x02, 's', 0, 4, 0, 0, 0, 0xed, 0xa0, 0x80, 0, 0}, "", 1, ""},
        {"truncated", bytes(doc.begin(), doc.end() - 1), "", 1, ""},
        {"empty input", {}, "", 1, ""},
    };
    for (const auto &c : cases) {
        result r = run_on(std::string(BSON2JSON) + " " + c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
}

TEST(VeskCollector, UdpPacketsVerifiedAndStored)
{
    bson_t *b = BCON_NEW("name", BCON_UTF8("host"));
    const bytes doc = of(b);
    bson_destroy(b);
    const bytes good = signed_packet(doc, "s3cr3t");
    bytes wrong = good;
    wrong.back() = wrong.back() == '0' ? '1' : '0';

    temp_dir dir;
    std::string cmd = std::string(VESK_COLLECTOR) + " --port 0 --secret s3cr3t --count 3 --timeout 20 --out " + dir.path;
    FILE *c = popen(cmd.c_str(), "r");
    auto line = [c] {
        char buf[512];
        return std::string(fgets(buf, sizeof buf, c) ? buf : "");
    };
    // "listening udp 127.0.0.1:PORT"
    std::string first = line();
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(atoi(first.c_str() + first.rfind(':') + 1)));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    for (const bytes &p : {good, wrong, doc})
        EXPECT_EQ(sendto(s, p.data(), p.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa), std::ssize(p));
    close(s);
    EXPECT_EQ(line(), "packet 1: " + std::to_string(good.size()) + " bytes, valid\n");
    EXPECT_EQ(line(), "packet 2: " + std::to_string(wrong.size()) + " bytes, invalid: bad signature\n");
    EXPECT_EQ(line(), "packet 3: " + std::to_string(doc.size()) + " bytes, invalid: no signature\n");
    EXPECT_EQ(pclose(c), 0);
    EXPECT_EQ(read_file(dir.path + "/packet-1.bin"), good);
    EXPECT_EQ(read_file(dir.path + "/packet-2.bin"), wrong);
    EXPECT_EQ(read_file(dir.path + "/packet-3.bin"), doc);
}

} // namespace
