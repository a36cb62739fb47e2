// Intrusive, circular, doubly linked list: the link lives inside the record.
#ifndef LUMORA_USB_LIST_H
#define LUMORA_USB_LIST_H

#include <cstddef>

struct lm_list_head {
    lm_list_head* prev;
    lm_list_head* next;
};

// Makes entry an empty list: both links point to entry itself.
inline void lm_list_init(lm_list_head* entry)
{
    entry->next = entry;
    entry->prev = entry;
}

// Inserts entry just before head, that is at the tail of the list.
inline void lm_list_add_tail(lm_list_head* entry, lm_list_head* head)
{
    entry->next = head;
    entry->prev = head->prev;
    head->prev->next = entry;
    head->prev = entry;
}

// Unlinks entry; its own links are kept so a walk may still step on from it.
inline void lm_list_del(lm_list_head* entry)
{
    entry->next->prev = entry->prev;
    entry->prev->next = entry->next;
}

inline bool lm_list_empty(const lm_list_head* head)
{
    return head->next == head;
}

// From a link to the record that holds it.
#define lm_list_entry(ptr, type, member) \
    reinterpret_cast<type*>(reinterpret_cast<char*>(ptr) - offsetof(type, member))

#endif
