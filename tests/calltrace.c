/*
 * LD_PRELOAD library that logs the C library calls a program makes itself:
 * malloc, memcpy, printf, puts and free. Calls made from inside the C library
 * (its stdout buffer, for one) are passed through unlogged.
 *
 *   CALLTRACE_LOG=FILE          append one line per call to FILE
 *   CALLTRACE_FAIL_MALLOC=N     the program's malloc(N) fails with ENOMEM
 *   CALLTRACE_CALLERS=1         each line ends in "from OFFSET": where the call
 *                               returns to, as an address in the program's
 *                               file, which nm maps to a routine
 *   CALLTRACE_MEMCPY_ADD=N      the program's memcpy delivers every int of the
 *                               source plus N, so what is listed after it shows
 *                               whether it was read from the copy
 *   CALLTRACE_POISON=1          the program's block is filled with 0xa5 bytes
 *                               when allocated, and each printf line shows the
 *                               block's ints as they stand: a value, or "-"
 *                               where the poison is still there
 *
 * Lines: "malloc N PTR|NULL", "memcpy DST N", "printf", "puts", "free PTR".
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void __libc_free(void *ptr);

struct range {
    uintptr_t base, lo, hi;
};

/* The first object dl_iterate_phdr reports is the program itself. */
static int program_range(struct dl_phdr_info *info, size_t size, void *data)
{
    struct range *r = data;
    (void)size;
    r->base = info->dlpi_addr;
    r->lo = UINTPTR_MAX;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type != PT_LOAD)
            continue;
        uintptr_t start = info->dlpi_addr + ph->p_vaddr;
        if (start < r->lo)
            r->lo = start;
        if (start + ph->p_memsz > r->hi)
            r->hi = start + ph->p_memsz;
    }
    return 1;
}

static const struct range *program(void)
{
    static struct range r;
    if (r.hi == 0)
        dl_iterate_phdr(program_range, &r);
    return &r;
}

static int from_program(const void *caller)
{
    const struct range *r = program();
    return (uintptr_t)caller >= r->lo && (uintptr_t)caller < r->hi;
}

/* One line of the log; with CALLTRACE_CALLERS, where CALLER returns to. */
static void note(const void *caller, const char *fmt, ...)
{
    const char *path = getenv("CALLTRACE_LOG");
    if (path == NULL)
        return;
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line - 32, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= (int)sizeof line - 32)
        abort();
    if (getenv("CALLTRACE_CALLERS") != NULL)
        n += snprintf(line + n, 32, " from %#lx",
                      (unsigned long)((uintptr_t)caller - program()->base));
    line[n++] = '\n';
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)n) != n)
        abort();
    close(fd);
}

static void *next(const char *name)
{
    void *fn = dlsym(RTLD_NEXT, name);
    if (fn == NULL)
        abort();
    return fn;
}

/* The block the program has allocated and not yet freed, for CALLTRACE_POISON. */
static int *block;
static size_t block_ints;

void *malloc(size_t size)
{
    void *caller = __builtin_return_address(0);
    if (!from_program(caller))
        return __libc_malloc(size);
    const char *fail = getenv("CALLTRACE_FAIL_MALLOC");
    if (fail != NULL && strtoul(fail, NULL, 10) == size) {
        note(caller, "malloc %zu NULL", size);
        errno = ENOMEM;
        return NULL;
    }
    void *ptr = __libc_malloc(size);
    note(caller, "malloc %zu %p", size, ptr);
    if (ptr != NULL && getenv("CALLTRACE_POISON") != NULL) {
        memset(ptr, 0xa5, size);
        block = ptr;
        block_ints = size / sizeof(int);
    }
    return ptr;
}

void free(void *ptr)
{
    void *caller = __builtin_return_address(0);
    if (from_program(caller)) {
        note(caller, "free %p", ptr);
        if (ptr == block)
            block = NULL;
    }
    __libc_free(ptr);
}

void *memcpy(void *dst, const void *src, size_t n)
{
    static void *(*real)(void *, const void *, size_t);
    if (real == NULL)
        real = (void *(*)(void *, const void *, size_t))next("memcpy");
    void *caller = __builtin_return_address(0);
    if (!from_program(caller))
        return real(dst, src, n);
    note(caller, "memcpy %p %zu", dst, n);
    real(dst, src, n);
    const char *add = getenv("CALLTRACE_MEMCPY_ADD");
    for (size_t i = 0; add != NULL && i < n / sizeof(int); i++)
        ((int *)dst)[i] += atoi(add);
    return dst;
}

/* The block's ints as they stand, " 0 1 - - ...", into buf. */
static const char *block_state(char *buf, size_t size)
{
    static const int poison = (int)0xa5a5a5a5;
    size_t at = 0;
    buf[0] = '\0';
    for (size_t i = 0; i < block_ints && at < size; i++) {
        if (block[i] == poison)
            at += (size_t)snprintf(buf + at, size - at, " -");
        else
            at += (size_t)snprintf(buf + at, size - at, " %d", block[i]);
    }
    return buf;
}

int printf(const char *fmt, ...)
{
    void *caller = __builtin_return_address(0);
    if (from_program(caller)) {
        char state[160];
        note(caller, "printf%s", block != NULL ? block_state(state, sizeof state) : "");
    }
    va_list ap;
    va_start(ap, fmt);
    int n = vprintf(fmt, ap);
    va_end(ap);
    return n;
}

int puts(const char *s)
{
    static int (*real)(const char *);
    if (real == NULL)
        real = (int (*)(const char *))next("puts");
    void *caller = __builtin_return_address(0);
    if (from_program(caller))
        note(caller, "puts");
    return real(s);
}
