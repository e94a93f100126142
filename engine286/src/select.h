// The sort of a selection (ORDER BY when no index delivers the order).
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "types.h"

// Sorts ids[0..n) by `compare(a, b)` (negative, zero or positive), not
// stably. Input already in order costs one pass, input in reverse order one
// pass and a reversal. A quicksort on a median of three whose depth is
// bounded by 2 * (floor(log2 n) + 1); beyond that a range is heap-sorted, so
// no input takes quadratic time. Ranges of at most 50 ids are
// insertion-sorted.
template <class Compare>
void dbSortIds(oid_t* ids, size_t n, Compare&& compare);

// ---- implementation -------------------------------------------------------

template <class Compare>
class dbIdSorter {
 public:
  explicit dbIdSorter(Compare& compare) : compare(compare) {}

  static constexpr size_t insertionLimit = 50;

  bool isSorted(const oid_t* a, size_t n) {
    for (size_t i = 1; i < n; i++) {
      if (compare(a[i - 1], a[i]) > 0) return false;
    }
    return true;
  }
  bool isReverseSorted(const oid_t* a, size_t n) {
    for (size_t i = 1; i < n; i++) {
      if (compare(a[i - 1], a[i]) < 0) return false;
    }
    return true;
  }

  static int depthLimit(size_t n) {
    int b = 2;
    if (n >= 4) {
      for (size_t c = n / 4;; c /= 2) {
        b += 1;
        if (c <= 1) break;
      }
    }
    return 2 * b;
  }

  void quickSort(oid_t* a, size_t n, int limit) {
    while (n > insertionLimit) {
      if (isSorted(a, n)) return;
      if (limit == 0) {
        heapSort(a, n);
        return;
      }
      std::swap(a[0], a[1527239318u % (n - 1)]);
      orderMedianFirst(a, n);
      const oid_t pivot = a[0];
      size_t i = 1;
      size_t j = n - 1;  // a[1] is not above the pivot, a[n - 1] not below it
      while (true) {
        do i++; while (compare(a[i], pivot) < 0);
        do j--; while (compare(a[j], pivot) > 0);
        if (i >= j) break;
        std::swap(a[i], a[j]);
      }
      std::swap(a[0], a[j]);
      limit -= 1;
      quickSort(a + j + 1, n - j - 1, limit);
      n = j;
    }
    insertionSort(a, n);
  }

  // Puts the median of a[0], a[1], a[n-1] first, the smallest second and
  // the largest last.
  void orderMedianFirst(oid_t* a, size_t n) {
    oid_t& x = a[0];
    oid_t& small = a[1];
    oid_t& large = a[n - 1];
    if (compare(small, x) > 0) std::swap(small, x);
    if (compare(x, large) > 0) std::swap(x, large);
    if (compare(small, x) > 0) std::swap(small, x);
  }

  void insertionSort(oid_t* a, size_t n) {
    if (n < 2) return;
    size_t smallest = 0;
    for (size_t i = 1; i < n; i++) {
      if (compare(a[i], a[smallest]) < 0) smallest = i;
    }
    std::swap(a[0], a[smallest]);  // a sentinel: the inner loop needs no bound check
    for (size_t i = 2; i < n; i++) {
      oid_t id = a[i];
      size_t j = i;
      for (; compare(id, a[j - 1]) < 0; j--) a[j] = a[j - 1];
      a[j] = id;
    }
  }

  void siftDown(oid_t* a, size_t root, size_t n) {
    while (2 * root + 1 < n) {
      size_t child = 2 * root + 1;
      if (child + 1 < n && compare(a[child], a[child + 1]) < 0) child += 1;
      if (compare(a[root], a[child]) >= 0) return;
      std::swap(a[root], a[child]);
      root = child;
    }
  }

  void heapSort(oid_t* a, size_t n) {
    for (size_t i = n / 2; i-- > 0;) siftDown(a, i, n);
    for (size_t end = n; end-- > 1;) {
      std::swap(a[0], a[end]);
      siftDown(a, 0, end);
    }
  }

 private:
  Compare& compare;
};

template <class Compare>
void dbSortIds(oid_t* ids, size_t n, Compare&& compare) {
  if (n < 2) return;
  dbIdSorter<std::remove_reference_t<Compare>> sorter(compare);
  if (sorter.isSorted(ids, n)) return;
  if (sorter.isReverseSorted(ids, n)) {
    for (size_t i = 0, j = n - 1; i < j; i++, j--) std::swap(ids[i], ids[j]);
    return;
  }
  sorter.quickSort(ids, n, dbIdSorter<std::remove_reference_t<Compare>>::depthLimit(n));
}
