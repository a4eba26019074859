// Statement results written as text: one row a line, cells separated by tabs, \N for
// NULL; with `header`, the first line holds the column names.
#pragma once

#include <string>
#include <string_view>

#include "vesk_devlist.hpp"
#include "vesk_service.hpp"

inline sql_result sql_from_text(std::string_view text, bool header)
{
    sql_result r;
    auto cells = [](std::string_view line) {
        sql_row row;
        for (size_t pos = 0;;) {
            size_t tab = line.find('\t', pos);
            std::string_view cell = line.substr(pos, tab == std::string_view::npos ? tab : tab - pos);
            row.push_back(cell == "\\N" ? sql_cell() : sql_cell(std::string(cell)));
            if (tab == std::string_view::npos) return row;
            pos = tab + 1;
        }
    };
    bool first = true;
    size_t pos = 0;
    for (std::string_view line; vesk_next_line(text, pos, line);) {
        sql_row row = cells(line);
        if (header && first) {
            for (const sql_cell &c : row) r.columns.push_back(c.value_or(""));
        } else {
            r.rows.push_back(std::move(row));
        }
        first = false;
    }
    return r;
}
