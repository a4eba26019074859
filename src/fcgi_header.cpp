// FastCGI 1.0 records: the requests the PHP-FPM counter sends and the parser of the answers.
#include "fcgi_header.hpp"

#include <algorithm>

void fcgi_header_set_request_id(fcgi_header &h, uint16_t id)
{
    h.request_id_hi = static_cast<uint8_t>(id >> 8);
    h.request_id_lo = static_cast<uint8_t>(id & 0xFF);
}

void fcgi_header_set_content_len(fcgi_header &h, uint16_t len)
{
    h.content_len_hi = static_cast<uint8_t>(len >> 8);
    h.content_len_lo = static_cast<uint8_t>(len & 0xFF);
}

uint16_t fcgi_header_get_content_len(const fcgi_header &h)
{
    return static_cast<uint16_t>(h.content_len_hi << 8 | h.content_len_lo);
}

fcgi_header create_header(uint8_t type, uint16_t request_id)
{
    fcgi_header h{};
    h.version = FCGI_VERSION_1;
    h.type = type;
    fcgi_header_set_request_id(h, request_id);
    return h;
}

fcgi_begin_request create_begin_request(uint16_t request_id)
{
    fcgi_begin_request r{};
    r.header = create_header(FCGI_BEGIN_REQUEST, request_id);
    fcgi_header_set_content_len(r.header, sizeof r.body);
    r.body.role_hi = static_cast<uint8_t>(FCGI_RESPONDER >> 8);
    r.body.role_lo = static_cast<uint8_t>(FCGI_RESPONDER & 0xFF);
    return r;
}

namespace {

void put_length(std::string &out, size_t len)
{
    if (len < 128) {
        out.push_back(static_cast<char>(len));
        return;
    }
    const auto l = static_cast<uint32_t>(len);
    out.push_back(static_cast<char>(((l >> 24) & 0x7F) | 0x80));
    out.push_back(static_cast<char>((l >> 16) & 0xFF));
    out.push_back(static_cast<char>((l >> 8) & 0xFF));
    out.push_back(static_cast<char>(l & 0xFF));
}

template <typename T>
void append_bytes(std::string &out, const T &record)
{
    out.append(reinterpret_cast<const char *>(&record), sizeof record);
}

} // namespace

size_t serialize_name_value(std::string &buffer, const fcgi_name_value &nv)
{
    const size_t before = buffer.size();
    put_length(buffer, nv.name.size());
    put_length(buffer, nv.value.size());
    buffer.append(nv.name);
    buffer.append(nv.value);
    return buffer.size() - before;
}

std::string fcgi_build_request(const fcgi_name_value *pairs, size_t count)
{
    constexpr uint16_t kRequestId = 1;
    std::string params;
    for (size_t i = 0; i < count; i++) {
        // A pair that would not fit the one record is taken back out.
        const size_t before = params.size();
        if (before + serialize_name_value(params, pairs[i]) > UINT16_MAX) params.resize(before);
    }
    std::string out;
    out.reserve(sizeof(fcgi_begin_request) + 2 * sizeof(fcgi_header) + params.size());
    append_bytes(out, create_begin_request(kRequestId));
    fcgi_header h = create_header(FCGI_PARAMS, kRequestId);
    fcgi_header_set_content_len(h, static_cast<uint16_t>(params.size()));
    append_bytes(out, h);
    out.append(params);
    append_bytes(out, create_header(FCGI_PARAMS, kRequestId));
    return out;
}

int fcgi_process_header(uint8_t ch, fcgi_record &rec)
{
    fcgi_header &h = rec.header;
    switch (rec.state) {
    case fcgi_state_version: h.version = ch; break;
    case fcgi_state_type: h.type = ch; break;
    case fcgi_state_request_id_hi: h.request_id_hi = ch; break;
    case fcgi_state_request_id_lo: h.request_id_lo = ch; break;
    case fcgi_state_content_len_hi: h.content_len_hi = ch; break;
    case fcgi_state_content_len_lo: h.content_len_lo = ch; break;
    case fcgi_state_padding_len: h.padding_len = ch; break;
    case fcgi_state_reserved: h.reserved = ch; break;
    default: return 2;
    }
    rec.state = static_cast<fcgi_state>(rec.state + 1);
    return 1;
}

int fcgi_process_content(std::string_view &in, fcgi_record &rec)
{
    if (rec.state == fcgi_state_content_begin) {
        rec.length = fcgi_header_get_content_len(rec.header);
        rec.content.clear();
        rec.content.reserve(rec.length);
        rec.offset = 0;
        rec.state = fcgi_state_content_proc;
    }
    const size_t whole = rec.length + rec.header.padding_len;
    if (rec.state == fcgi_state_content_proc || rec.state == fcgi_state_padding) {
        if (rec.offset < rec.length) {
            const size_t copy = std::min(in.size(), rec.length - rec.offset);
            rec.content.append(in.substr(0, copy));
        }
        const size_t take = std::min(in.size(), whole - rec.offset);
        rec.offset += take;
        in.remove_prefix(take);
        rec.state = rec.offset == whole      ? fcgi_state_done
                    : rec.offset >= rec.length ? fcgi_state_padding
                                               : fcgi_state_content_proc;
    }
    return rec.state == fcgi_state_done ? 2 : 1;
}

int fcgi_process_record(std::string_view &in, fcgi_record &rec)
{
    while (rec.state < fcgi_state_content_begin) {
        if (in.empty()) return 1;
        fcgi_process_header(static_cast<uint8_t>(in.front()), rec);
        in.remove_prefix(1);
    }
    return fcgi_process_content(in, rec);
}

bool fcgi_reader::feed(std::string_view bytes)
{
    while (!answer_.ended && !bytes.empty()) {
        if (cur_.state == fcgi_state_done) cur_ = fcgi_record{};
        if (fcgi_process_record(bytes, cur_) == 2) complete(cur_);
    }
    return answer_.ended;
}

void fcgi_reader::complete(const fcgi_record &rec)
{
    answer_.records++;
    if (rec.header.type == FCGI_STDOUT) {
        const size_t room = cap_ > answer_.out.size() ? cap_ - answer_.out.size() : 0;
        if (rec.content.size() > room) answer_.too_long = true;
        answer_.out.append(rec.content, 0, std::min(room, rec.content.size()));
    } else if (rec.header.type == FCGI_END_REQUEST) {
        answer_.ended = true;
    }
}
