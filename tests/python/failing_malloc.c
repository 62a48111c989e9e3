/* Preloaded into a test interpreter (with PYTHONMALLOC=malloc, so that every object
 * comes from malloc or calloc): fail_next_allocation_of(size) makes the next malloc or
 * calloc of exactly that many bytes fail, once. The real allocators are glibc's own
 * entry points, which need no symbol lookup (and so no allocation) to be found. */
#include <stddef.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);

static volatile size_t armed_size;

void fail_next_allocation_of(size_t size) {
    armed_size = size;
}

static int take_failure(size_t size) {
    if (armed_size != 0 && size == armed_size) {
        armed_size = 0;
        return 1;
    }
    return 0;
}

void* malloc(size_t size) {
    return take_failure(size) ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    return take_failure(count * size) ? NULL : __libc_calloc(count, size);
}
