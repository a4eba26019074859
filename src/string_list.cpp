// The list of short strings that holds the known plug-in keywords.
#include "string_list.hpp"

#include <cstdio>
#include <cstring>

#include "encoding.hpp"

string_list *str_list_new() { return new string_list{nullptr, nullptr}; }

string_list_item *str_list_add(string_list *list, const char *str)
{
    auto *item = new string_list_item{};
    vesk_copy(item->value, str);
    item->prev = list->last;
    if (list->last)
        list->last->next = item;
    else
        list->first = item;
    list->last = item;
    return item;
}

int str_list_find(const string_list *list, const char *needle)
{
    if (!list) return 0;
    for (const string_list_item *i = list->first; i; i = i->next)
        if (strcmp(i->value, needle) == 0) return 1;
    return 0;
}

void str_list_dump(const string_list *list, const char *prefix)
{
    if (!list || !list->first) {
        printf("(empty list)\n");
        return;
    }
    for (const string_list_item *i = list->first; i; i = i->next) printf("%s- %s\n", prefix, i->value);
}

void str_list_free(string_list *list)
{
    if (!list) return;
    for (string_list_item *i = list->first; i;) {
        string_list_item *next = i->next;
        delete i;
        i = next;
    }
    delete list;
}
