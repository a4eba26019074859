// Status pages of Apache, nginx and PHP-FPM: any text parses or is refused without
// reading outside it.
#include <cstdint>
#include <string_view>

#include "vesk_apache.hpp"
#include "vesk_fpm.hpp"
#include "vesk_nginx.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    auto apache = apache_parse_res(text);
    // Every scoreboard slot counted comes from one byte of the page.
    if (apache && apache->scWaiting + apache->scReading + apache->scKeepalive + apache->scClosing > size)
        __builtin_trap();
    nginx_parse_res(text);
    fpm_parse_res(text);
    return 0;
}
