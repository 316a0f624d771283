// buffill: fill a heap buffer element by element, listing each element as it
// is stored.
#include <cstdio>
#include <cstdlib>

int main()
{
    // 40 is the byte size of ten 32-bit integers, not an element count.
    int *ptr_int = static_cast<int *>(std::malloc(40));
    if (ptr_int == nullptr) {
        // Never touch a buffer we did not get, and do not pass the failure
        // off as success.
        std::fputs("buffill: out of memory\n", stderr);
        return EXIT_FAILURE;
    }

    // Store and list in the same pass; the value listed is read back from
    // the buffer, so the line shows what the heap really holds.
    for (int i = 0; i <= 9; i++) {
        ptr_int[i] = i;
        std::printf("ptr_int[%d]=%d\n", i, ptr_int[i]);
    }

    std::free(ptr_int);
    return 0;
}
