// Intrusive circular doubly linked lists with a sentinel node. No locking:
// the caller holds the list's mutex where one is needed.
#pragma once

struct ListNode {
    ListNode* next;
    ListNode* prev;
};

void LIST_Init(ListNode* sentinel);
void LIST_InsertAfter(ListNode* node, ListNode* position);
void LIST_InsertBefore(ListNode* node, ListNode* position);
// Joins the node's neighbours; the node's own links are left as they were.
void LIST_Unlink(ListNode* node);
int LIST_IsEmpty(const ListNode* sentinel);
