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
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct result {
    int status;
    std::string out;
};

std::string temp_dir()
{
    char tmpl[] = "/tmp/tools_test.XXXXXX";
    const char *d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    return d ? d : "/tmp";
}

void write_file(const std::string &path, const bytes &b)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

result run(const std::string &cmd)
{
    result r{-1, ""};
    FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bytes doc_bytes(const bson_t *b)
{
    const uint8_t *d = bson_get_data(b);
    return bytes(d, d + b->len);
}

std::string sha1sum(const bytes &data)
{
    std::string dir = temp_dir();
    write_file(dir + "/in", data);
    result r = run("sha1sum " + dir + "/in");
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
    return r.out.substr(0, 40);
}

result bson2json(const bytes &input, const std::string &args = "")
{
    std::string dir = temp_dir();
    write_file(dir + "/doc.bin", input);
    result r = run(std::string(BSON2JSON) + " " + args + " " + dir + "/doc.bin");
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
    return r;
}

TEST(Bson2Json, EveryTypeDepthFirst)
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
    const uint8_t bin[] = {0xde, 0xad};
    BSON_APPEND_BINARY(b, "bin", BSON_SUBTYPE_BINARY, bin, 2);
    BSON_APPEND_UNDEFINED(b, "u");
    bson_oid_t oid;
    bson_oid_init_from_string(&oid, "0123456789abcdef01234567");
    BSON_APPEND_OID(b, "o", &oid);
    BSON_APPEND_BOOL(b, "t", true);
    BSON_APPEND_BOOL(b, "f", false);
    BSON_APPEND_DATE_TIME(b, "dt", -1500);
    BSON_APPEND_NULL(b, "n");
    BSON_APPEND_REGEX(b, "re", "^a.b$", "i");
    bson_append_dbpointer(b, "p", 1, "coll", &oid);
    BSON_APPEND_CODE(b, "c", "f()");
    BSON_APPEND_SYMBOL(b, "sym", "x");
    bson_t *scope = bson_new();
    BSON_APPEND_INT32(scope, "k", 1);
    BSON_APPEND_CODE_WITH_SCOPE(b, "cws", "g()", scope);
    BSON_APPEND_TIMESTAMP(b, "ts", 100, 7);
    BSON_APPEND_INT64(b, "l", 1LL << 40);
    bson_decimal128_t dec;
    bson_decimal128_from_string("1.5", &dec);
    BSON_APPEND_DECIMAL128(b, "dec", &dec);
    BSON_APPEND_MAXKEY(b, "max");
    BSON_APPEND_MINKEY(b, "min");
    BSON_APPEND_INT32(b, "a.b\t", 3);

    result r = bson2json(doc_bytes(b));
    bson_destroy(scope);
    bson_destroy(b);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "d\tdouble\t0.10000000000000001\n"
                     "s\tstring\ta\\\\b\\tc\\nd\\x01\\xc3\\xa9\n"
                     "mem\tdocument\t\n"
                     "mem.total\tint64\t-5000000000\n"
                     "custom\tarray\t\n"
                     "custom.disk_root\tdocument\t\n"
                     "custom.disk_root.value\tint32\t-7\n"
                     "bin\tbinary\t0:dead\n"
                     "u\tundefined\t\n"
                     "o\toid\t0123456789abcdef01234567\n"
                     "t\tbool\ttrue\n"
                     "f\tbool\tfalse\n"
                     "dt\tdate\t-1500\n"
                     "n\tnull\t\n"
                     "re\tregex\t/^a.b$/i\n"
                     "p\tdbpointer\tcoll:0123456789abcdef01234567\n"
                     "c\tcode\tf()\n"
                     "sym\tsymbol\tx\n"
                     "cws\tcodewscope\tg()\n"
                     "ts\ttimestamp\t100:7\n"
                     "l\tint64\t1099511627776\n"
                     "dec\tdecimal128\t1.5\n"
                     "max\tmaxkey\t\n"
                     "min\tminkey\t\n"
                     "a.b\\t\tint32\t3\n");
}

TEST(Bson2Json, PacketsAndRefusals)
{
    bson_t *b = bson_new();
    BSON_APPEND_INT32(b, "a", 1);
    bytes doc = doc_bytes(b);
    bson_destroy(b);
    bytes signed_packet = doc;
    std::string sig = sha1sum(doc);
    signed_packet.insert(signed_packet.end(), sig.begin(), sig.end());
    bytes bad_utf8 = {0x0e, 0, 0, 0, 0x02, 's', 0, 2, 0, 0, 0, 0xc0, 0, 0};
    bytes bad_key = {0x0c, 0, 0, 0, 0x10, 0xff, 0, 1, 0, 0, 0, 0};
    // libbson alone lets these through.
    bytes cut_sequence = {0x0f, 0, 0, 0, 0x02, 's', 0, 3, 0, 0, 0, 'a', 0xc3, 0, 0};
    bytes overlong = {0x10, 0, 0, 0, 0x02, 's', 0, 4, 0, 0, 0, 0xe0, 0x80, 0x80, 0, 0};
    bytes nested_cut = {0x15, 0, 0, 0, 0x03, 'o', 0, 0x0d, 0, 0, 0, 0x02, 0xc3, 0, 1, 0, 0, 0, 0, 0, 0};
    bytes surrogate = {0x10, 0, 0, 0, 0x02, 's', 0, 4, 0, 0, 0, 0xed, 0xa0, 0x80, 0, 0};
    bytes truncated(doc.begin(), doc.end() - 1);
    bytes no_terminator = doc;
    no_terminator.back() = 1;
    bytes short_sig(signed_packet.begin(), signed_packet.end() - 1);

    struct {
        const char *what;
        bytes input;
        const char *args;
        int status;
        const char *out;
    } cases[] = {
        {"document", doc, "", 0, "a\tint32\t1\n"},
        {"signed packet", signed_packet, "--packet", 0, "a\tint32\t1\n"},
        {"unsigned packet", doc, "--packet", 0, "a\tint32\t1\n"},
        {"signature without --packet", signed_packet, "", 1, ""},
        {"39 trailing digits", short_sig, "--packet", 1, ""},
        {"invalid UTF-8 value", bad_utf8, "", 1, ""},
        {"invalid UTF-8 key", bad_key, "", 1, ""},
        {"value cut inside a character", cut_sequence, "", 1, ""},
        {"overlong sequence", overlong, "", 1, ""},
        {"nested key cut inside a character", nested_cut, "", 1, ""},
        {"surrogate accepted", surrogate, "", 0, "s\tstring\t\\xed\\xa0\\x80\n"},
        {"truncated", truncated, "", 1, ""},
        {"no final 0 byte", no_terminator, "", 1, ""},
        {"empty input", {}, "", 1, ""},
    };
    for (const auto &c : cases) {
        result r = bson2json(c.input, c.args);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
    }
}

// A running collector with its output pipe; the first line gives its port.
struct collector {
    pid_t pid = -1;
    FILE *out = nullptr;
    int port = 0;

    explicit collector(const std::vector<std::string> &args)
    {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<char *> argv{const_cast<char *>(VESK_COLLECTOR)};
            for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out = fdopen(fds[0], "r");
        std::string first = line();
        size_t colon = first.rfind(':');
        if (colon != std::string::npos) port = atoi(first.c_str() + colon + 1);
    }
    ~collector()
    {
        if (out) fclose(out);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    std::string line()
    {
        char buf[512];
        if (!out || !fgets(buf, sizeof buf, out)) return "";
        return buf;
    }
    int wait_status()
    {
        int st = 0;
        waitpid(pid, &st, 0);
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

sockaddr_in loopback(int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

TEST(VeskCollector, UdpPacketsVerifiedAndStored)
{
    bson_t *b = bson_new();
    BSON_APPEND_UTF8(b, "name", "host");
    bytes doc = doc_bytes(b);
    bson_destroy(b);
    bytes secret_input = doc;
    const std::string secret = "s3cr3t";
    secret_input.insert(secret_input.end(), secret.begin(), secret.end());
    std::string sig = sha1sum(secret_input);
    bytes good = doc;
    good.insert(good.end(), sig.begin(), sig.end());
    bytes wrong = good;
    wrong.back() = wrong.back() == '0' ? '1' : '0';

    std::string dir = temp_dir();
    collector c({"--port", "0", "--secret", secret, "--out", dir, "--count", "3", "--timeout", "20"});
    ASSERT_GT(c.port, 0);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = loopback(c.port);
    const bytes *sent[] = {&good, &wrong, &doc};
    for (const bytes *p : sent)
        ASSERT_EQ(sendto(s, p->data(), p->size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa),
                  static_cast<ssize_t>(p->size()));
    close(s);
    EXPECT_EQ(c.line(), "packet 1: " + std::to_string(good.size()) + " bytes, valid\n");
    EXPECT_EQ(c.line(), "packet 2: " + std::to_string(wrong.size()) + " bytes, invalid: bad signature\n");
    EXPECT_EQ(c.line(), "packet 3: " + std::to_string(doc.size()) + " bytes, invalid: no signature\n");
    EXPECT_EQ(c.wait_status(), 0);
    EXPECT_EQ(read_file(dir + "/packet-1.bin"), good);
    EXPECT_EQ(read_file(dir + "/packet-2.bin"), wrong);
    EXPECT_EQ(read_file(dir + "/packet-3.bin"), doc);
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

TEST(VeskCollector, TcpStreamReadToItsEndAndTimeout)
{
    bson_t *b = bson_new();
    for (int i = 0; i < 200; i++) BSON_APPEND_INT64(b, std::to_string(i).c_str(), i);
    bytes doc = doc_bytes(b);
    bson_destroy(b);

    std::string dir = temp_dir();
    {
        collector c({"--tcp", "--port", "0", "--out", dir, "--count", "1", "--timeout", "20"});
        ASSERT_GT(c.port, 0);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa = loopback(c.port);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        // Two writes: the collector keeps reading until the peer closes.
        size_t half = doc.size() / 2;
        ASSERT_EQ(write(s, doc.data(), half), static_cast<ssize_t>(half));
        usleep(100000);
        ASSERT_EQ(write(s, doc.data() + half, doc.size() - half), static_cast<ssize_t>(doc.size() - half));
        close(s);
        EXPECT_EQ(c.line(), "packet 1: " + std::to_string(doc.size()) + " bytes, valid\n");
        EXPECT_EQ(c.wait_status(), 0);
        EXPECT_EQ(read_file(dir + "/packet-1.bin"), doc);
    }
    {
        collector c({"--port", "0", "--count", "1", "--timeout", "1"});
        EXPECT_EQ(c.line(), "");
        EXPECT_EQ(c.wait_status(), 2);
    }
    std::string cmd = "rm -rf " + dir;
    EXPECT_EQ(system(cmd.c_str()), 0);
}

} // namespace
