#include "rt/list.h"

void LIST_Init(ListNode* sentinel) {
    sentinel->next = sentinel;
    sentinel->prev = sentinel;
}

void LIST_InsertAfter(ListNode* node, ListNode* position) {
    node->prev = position;
    node->next = position->next;
    position->next->prev = node;
    position->next = node;
}

void LIST_InsertBefore(ListNode* node, ListNode* position) {
    node->next = position;
    node->prev = position->prev;
    position->prev->next = node;
    position->prev = node;
}

void LIST_Unlink(ListNode* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

int LIST_IsEmpty(const ListNode* sentinel) {
    return (sentinel->next == sentinel && sentinel->prev == sentinel) ? 1 : 0;
}
