// A list of short strings (the known plug-in keywords).
#pragma once

inline constexpr int VESK_STR_LIST_VALUE_LEN = 128;

struct string_list_item {
    char value[VESK_STR_LIST_VALUE_LEN];
    string_list_item *prev;
    string_list_item *next;
};

struct string_list {
    string_list_item *first;
    string_list_item *last;
};

string_list *str_list_new();
// Appends a copy of at most 127 characters of str.
string_list_item *str_list_add(string_list *list, const char *str);
// 1 when an item equals needle exactly; a missing list gives 0.
int str_list_find(const string_list *list, const char *needle);
// One "%s- %s\n" line per item, or "(empty list)\n".
void str_list_dump(const string_list *list, const char *prefix);
void str_list_free(string_list *list);
