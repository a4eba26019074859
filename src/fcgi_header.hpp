// The client side of FastCGI 1.0 as the PHP-FPM counter speaks it: the records it
// sends, byte for byte, and a parser of the records that come back, fed with the
// bytes as they arrive. Pure code over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The 8-byte record header, as on the wire; 16-bit fields are big-endian.
struct fcgi_header {
    uint8_t version;
    uint8_t type;
    uint8_t request_id_hi;
    uint8_t request_id_lo;
    uint8_t content_len_hi;
    uint8_t content_len_lo;
    uint8_t padding_len;
    uint8_t reserved;
};
static_assert(sizeof(fcgi_header) == 8);

struct fcgi_begin_request_body {
    uint8_t role_hi;
    uint8_t role_lo;
    uint8_t flags;
    uint8_t reserved[5];
};
static_assert(sizeof(fcgi_begin_request_body) == 8);

struct fcgi_begin_request {
    fcgi_header header;
    fcgi_begin_request_body body;
};
static_assert(sizeof(fcgi_begin_request) == 16);

inline constexpr uint8_t FCGI_VERSION_1 = 1;
inline constexpr uint8_t FCGI_BEGIN_REQUEST = 1;
inline constexpr uint8_t FCGI_END_REQUEST = 3;
inline constexpr uint8_t FCGI_PARAMS = 4;
inline constexpr uint8_t FCGI_STDOUT = 6;
inline constexpr uint16_t FCGI_RESPONDER = 1;

void fcgi_header_set_request_id(fcgi_header &h, uint16_t id);
void fcgi_header_set_content_len(fcgi_header &h, uint16_t len);
uint16_t fcgi_header_get_content_len(const fcgi_header &h);
// A zero-filled header of version 1.
fcgi_header create_header(uint8_t type, uint16_t request_id);
// BEGIN_REQUEST with role RESPONDER and no flags: the server closes after its answer.
fcgi_begin_request create_begin_request(uint16_t request_id);

struct fcgi_name_value {
    std::string_view name;
    std::string_view value;
};
// Appends one encoded pair: lengths below 128 in one byte, others in four bytes,
// big-endian, the high bit set; then the name and the value, unterminated.
// Returns the bytes appended.
size_t serialize_name_value(std::string &buffer, const fcgi_name_value &nv);

// One request with id 1: BEGIN_REQUEST, one PARAMS record holding the pairs (no
// padding), and the empty PARAMS record that ends the stream. No STDIN record.
// Pairs longer than one record holds (65535 bytes) are left out.
std::string fcgi_build_request(const fcgi_name_value *pairs, size_t count);

enum fcgi_state {
    fcgi_state_version = 0,
    fcgi_state_type = 1,
    fcgi_state_request_id_hi = 2,
    fcgi_state_request_id_lo = 3,
    fcgi_state_content_len_hi = 4,
    fcgi_state_content_len_lo = 5,
    fcgi_state_padding_len = 6,
    fcgi_state_reserved = 7,
    fcgi_state_content_begin = 8,
    fcgi_state_content_proc = 9,
    fcgi_state_padding = 10,
    fcgi_state_done = 11,
};

// One received record being parsed.
struct fcgi_record {
    fcgi_header header{};
    std::string content; // the content received so far
    size_t offset = 0;   // content and padding bytes consumed
    size_t length = 0;   // the content length of the header
    fcgi_state state = fcgi_state_version;
};

// Stores one header byte and advances the state: 1. In states 8 to 11 it stores
// nothing: 2.
int fcgi_process_header(uint8_t ch, fcgi_record &rec);
// Advance the record over the front of `in`, removing what they consume. 2 when the
// record is complete, 1 when the bytes ran out first.
int fcgi_process_content(std::string_view &in, fcgi_record &rec);
int fcgi_process_record(std::string_view &in, fcgi_record &rec);

// A whole answer as its records arrive: the STDOUT stream joined, and whether
// END_REQUEST has come. STDOUT beyond `cap` bytes is dropped and marks it too long.
struct fcgi_answer {
    std::string out;        // the STDOUT stream
    size_t records = 0;     // complete records
    bool ended = false;     // END_REQUEST has arrived; nothing after it is read
    bool too_long = false;  // STDOUT went past the cap
};

class fcgi_reader {
public:
    explicit fcgi_reader(size_t cap = 64 * 1024) : cap_(cap) {}
    // Parses the next received bytes; true once END_REQUEST has arrived.
    bool feed(std::string_view bytes);
    const fcgi_answer &answer() const { return answer_; }

private:
    void complete(const fcgi_record &rec);
    size_t cap_;
    fcgi_record cur_;
    fcgi_answer answer_;
};
