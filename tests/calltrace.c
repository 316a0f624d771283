/*
 * LD_PRELOAD library that logs the C library calls a program makes itself:
 * malloc, memcpy, printf, puts and free. Calls made from inside the C library
 * (its stdout buffer, for one) are passed through unlogged.
 *
 *   CALLTRACE_LOG=FILE          append one line per call to FILE
 *   CALLTRACE_FAIL_MALLOC=N     the program's malloc(N) fails with ENOMEM
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
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void __libc_free(void *ptr);

struct range {
    uintptr_t lo, hi;
};

/* The first object dl_iterate_phdr reports is the program itself. */
static int program_range(struct dl_phdr_info *info, size_t size, void *data)
{
    struct range *r = data;
    (void)size;
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

static int from_program(const void *caller)
{
    static struct range r;
    if (r.hi == 0)
        dl_iterate_phdr(program_range, &r);
    return (uintptr_t)caller >= r.lo && (uintptr_t)caller < r.hi;
}

static void note(const char *fmt, ...)
{
    const char *path = getenv("CALLTRACE_LOG");
    if (path == NULL)
        return;
    char line[128];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
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

void *malloc(size_t size)
{
    if (!from_program(__builtin_return_address(0)))
        return __libc_malloc(size);
    const char *fail = getenv("CALLTRACE_FAIL_MALLOC");
    if (fail != NULL && strtoul(fail, NULL, 10) == size) {
        note("malloc %zu NULL\n", size);
        errno = ENOMEM;
        return NULL;
    }
    void *ptr = __libc_malloc(size);
    note("malloc %zu %p\n", size, ptr);
    return ptr;
}

void free(void *ptr)
{
    if (from_program(__builtin_return_address(0)))
        note("free %p\n", ptr);
    __libc_free(ptr);
}

void *memcpy(void *dst, const void *src, size_t n)
{
    static void *(*real)(void *, const void *, size_t);
    if (real == NULL)
        real = (void *(*)(void *, const void *, size_t))next("memcpy");
    if (from_program(__builtin_return_address(0)))
        note("memcpy %p %zu\n", dst, n);
    return real(dst, src, n);
}

int printf(const char *fmt, ...)
{
    if (from_program(__builtin_return_address(0)))
        note("printf\n");
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
    if (from_program(__builtin_return_address(0)))
        note("puts\n");
    return real(s);
}
