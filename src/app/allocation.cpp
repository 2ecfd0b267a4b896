// The program's allocation functions. The launcher is built without C++
// exceptions, so an allocation cannot throw: running out of memory for the
// few small objects it makes with `new` ends the program. Replacing them also
// keeps the runtime's exception machinery, which the library versions bring
// along, out of the executable.
#include <cstdlib>
#include <new>

void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (!block)
        std::abort();
    return block;
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
