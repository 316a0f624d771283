// bufcopy: copy a ten-integer array into a heap buffer with one memcpy and
// list the copy.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    const int source[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

    // 40 is the byte size of the whole array, not an element count.
    int *ptr_dest = static_cast<int *>(std::malloc(40));
    if (ptr_dest == nullptr) {
        // Never touch a buffer we did not get, and do not pass the failure
        // off as success.
        std::fputs("bufcopy: out of memory\n", stderr);
        return EXIT_FAILURE;
    }

    std::memcpy(ptr_dest, source, 40);

    // List the heap copy, not the source: the copy is what is shown.
    for (int i = 0; i <= 9; i++)
        std::printf("ptr_dest[%d]=%d\n", i, ptr_dest[i]);

    std::free(ptr_dest);
    return 0;
}
