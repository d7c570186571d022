// The wheel is built for Linux systems whose C++ runtime is that of GCC 8
// (libstdc++ symbols up to GLIBCXX_3.4.24). Two functions of newer runtimes
// would otherwise be needed; the link redirects every call to them (ld
// --wrap, set in CMakeLists.txt) to these, which do the same with what the
// older runtimes have:
// - runtime_error's move constructor (GLIBCXX_3.4.26), which nanobind uses
//   to throw its exceptions: a copy has the same effect, the message being a
//   shared, reference-counted string;
// - __throw_bad_array_new_length (GLIBCXX_3.4.29), which std::allocator
//   calls for an impossible size: it throws what that function throws.
#include <new>
#include <stdexcept>

extern "C" {

[[gnu::visibility("hidden")]] void __wrap__ZNSt13runtime_errorC2EOS_(std::runtime_error* self,
                                                                     std::runtime_error* other) {
    new (self) std::runtime_error(static_cast<const std::runtime_error&>(*other));
}

[[gnu::visibility("hidden"), noreturn]] void __wrap__ZSt28__throw_bad_array_new_lengthv() {
    throw std::bad_array_new_length();
}

} // extern "C"
