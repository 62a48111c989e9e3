/* Preloaded into a test interpreter (with PYTHONMALLOC=malloc, so that every object
 * comes from malloc, calloc or realloc). Two ways to make one allocation fail, once:
 *   fail_next_allocation_of(size)  the next malloc or calloc of exactly that many bytes;
 *   fail_allocation_after(count)   the count-th allocation from now (1: the very next),
 *                                  malloc, calloc and realloc alike. It returns how many
 *                                  were still to come of the previous count (0 once it
 *                                  has struck), and a count of 0 disarms.
 * The real allocators are glibc's own entry points, which need no symbol lookup (and so
 * no allocation) to be found. */
#include <stddef.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

static volatile size_t armed_size;
static volatile long countdown;

void fail_next_allocation_of(size_t size) {
    armed_size = size;
}

long fail_allocation_after(long count) {
    const long left = countdown;
    countdown = count;
    return left;
}

static int counted_failure(void) {
    return countdown > 0 && --countdown == 0;
}

static int take_failure(size_t size) {
    if (armed_size != 0 && size == armed_size) {
        armed_size = 0;
        return 1;
    }
    return counted_failure();
}

void* malloc(size_t size) {
    return take_failure(size) ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    return take_failure(count * size) ? NULL : __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    return counted_failure() ? NULL : __libc_realloc(block, size);
}
