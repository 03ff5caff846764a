#ifndef VYX_SLIST_H
#define VYX_SLIST_H

// A doubly linked list of element pointers whose nodes come from a pool made
// once at construction.  The filter thread adds guide events through it, so
// it never allocates after construction: when the pool is exhausted an
// insertion fails and the caller decides (recycle an element or drop it).
//
// The pool is the list's own (SList(n)) or shared by many lists
// (SList(&pool), or share_pool on an empty list): the guide's programs draw
// from one pool of as many nodes as there are event records, so that one
// channel's programs may hold the whole guide without every program
// reserving room for it.
//
// Ten independent cursors let different walks (lookup, search, dump, ...)
// run without disturbing each other.  A cursor holds the node it will return
// next, and erase() moves any cursor off the node it removes, so erasing the
// element just returned by a walk is safe.  The list does not own the
// elements: whoever fills it releases them before clear().

#include <cstddef>

template <class T>
class SList {
 public:
  struct Node {
    Node* next;
    Node* prev;
    T* elem;
  };
  static constexpr int kCursors = 10;

  // Nodes made once, handed out and taken back in first-in first-out order.
  class Pool {
   public:
    explicit Pool(unsigned int n)
        : free_nodes(n > 0 ? new Node[n] : nullptr), list_nodes(n), free_head(nullptr),
          free_tail(nullptr), in_use(n) {
      for (unsigned int i = 0; i < n; ++i) give(&free_nodes[i]);
    }
    ~Pool() { delete[] free_nodes; }
    Node* take() {
      Node* n = free_head;
      if (n == nullptr) return nullptr;
      free_head = n->next;
      if (free_head == nullptr) free_tail = nullptr;
      n->next = n->prev = nullptr;
      ++in_use;
      return n;
    }
    void give(Node* n) {
      n->elem = nullptr;
      n->prev = free_tail;
      n->next = nullptr;
      if (free_tail != nullptr)
        free_tail->next = n;
      else
        free_head = n;
      free_tail = n;
      --in_use;
    }
    bool has_free() const { return free_head != nullptr; }
    unsigned int size() const { return list_nodes; }
    unsigned int used() const { return in_use; }

   private:
    Node* free_nodes;         // the pool, one table
    unsigned int list_nodes;  // its size
    Node* free_head;
    Node* free_tail;
    unsigned int in_use;

    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
  };

  // A list with no node until share_pool gives it a pool.
  SList() : own_pool(nullptr), pool(nullptr) { init(); }
  explicit SList(unsigned int n) : own_pool(new Pool(n)), pool(own_pool) { init(); }
  explicit SList(Pool* shared) : own_pool(nullptr), pool(shared) { init(); }
  // A shared pool must outlive its lists; their nodes are not given back
  // here (the owner of the elements empties the lists first).
  ~SList() { delete own_pool; }

  // Draw nodes from `shared` from now on (its own pool, if any, is dropped).
  // Only for an empty list: false, and nothing changed, otherwise.
  bool share_pool(Pool* shared) {
    if (list_head != nullptr) return false;
    delete own_pool;
    own_pool = nullptr;
    pool = shared;
    return true;
  }

  // Walk with cursor i (0..9): the first element, then the following ones;
  // null at the end (or for a cursor out of range).
  T* begin(int i) {
    if (i < 0 || i >= kCursors) return nullptr;
    iterator[i] = list_head;
    return next(i);
  }
  T* next(int i) {
    if (i < 0 || i >= kCursors) return nullptr;
    Node* n = iterator[i];
    if (n == nullptr) return nullptr;
    iterator[i] = n->next;
    return n->elem;
  }
  T* head() const { return list_head != nullptr ? list_head->elem : nullptr; }
  T* tail() const { return list_tail != nullptr ? list_tail->elem : nullptr; }
  T* end() const { return nullptr; }

  bool push_front(T* e) {
    Node* n = get_free_node();
    if (n == nullptr) return false;
    n->elem = e;
    n->prev = nullptr;
    n->next = list_head;
    if (list_head != nullptr)
      list_head->prev = n;
    else
      list_tail = n;
    list_head = n;
    ++len;
    return true;
  }
  bool push_back(T* e) {
    Node* n = get_free_node();
    if (n == nullptr) return false;
    n->elem = e;
    n->next = nullptr;
    n->prev = list_tail;
    if (list_tail != nullptr)
      list_tail->next = n;
    else
      list_head = n;
    list_tail = n;
    ++len;
    return true;
  }
  T* pop_front() {
    if (list_head == nullptr) return nullptr;
    T* e = list_head->elem;
    unlink(list_head);
    return e;
  }
  T* pop_back() {
    if (list_tail == nullptr) return nullptr;
    T* e = list_tail->elem;
    unlink(list_tail);
    return e;
  }
  // Removes the first node holding e; false when e is not in the list.
  bool erase(T* e) {
    for (Node* n = list_head; n != nullptr; n = n->next) {
      if (n->elem == e) {
        unlink(n);
        return true;
      }
    }
    return false;
  }
  unsigned int length() const { return len; }
  // Nodes left for insertions (in a shared pool: for every list sharing it).
  bool has_free_node() const { return pool != nullptr && pool->has_free(); }
  // Every node back on the free chain (the elements are the caller's).
  void clear() {
    while (list_head != nullptr) unlink(list_head);
  }

  Node* get_free_node() { return pool != nullptr ? pool->take() : nullptr; }
  void return_free_node(Node* n) {
    if (pool != nullptr && n != nullptr) pool->give(n);
  }

 private:
  void init() {
    list_head = list_tail = nullptr;
    len = 0;
    for (int i = 0; i < kCursors; ++i) iterator[i] = nullptr;
  }
  void unlink(Node* n) {
    for (int i = 0; i < kCursors; ++i)
      if (iterator[i] == n) iterator[i] = n->next;
    if (n->prev != nullptr)
      n->prev->next = n->next;
    else
      list_head = n->next;
    if (n->next != nullptr)
      n->next->prev = n->prev;
    else
      list_tail = n->prev;
    --len;
    return_free_node(n);
  }

  Pool* own_pool;  // made by SList(n), or null
  Pool* pool;      // where nodes come from: own_pool, a shared one, or none
  Node* list_head;
  Node* list_tail;
  Node* iterator[kCursors];
  unsigned int len;

  SList(const SList&) = delete;
  SList& operator=(const SList&) = delete;
};

#endif
