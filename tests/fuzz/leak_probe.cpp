// Leaks one block on purpose; the leak check expects LeakSanitizer to say so.

#include <cstdlib>
#include <cstring>

namespace {

void* volatile g_block = nullptr;

// Out of line, so no register or stack slot of main still holds the block.
[[gnu::noinline]] void LeakABlock() {
  g_block = std::malloc(64);
  std::memset(g_block, 0x5A, 64);
  g_block = nullptr;  // the last reference is gone
}

// Overwrites the stack below main, where stale copies of the pointer may
// linger and make the block look reachable.
[[gnu::noinline]] void ScrubStack() {
  volatile char scratch[16384];
  for (char& c : const_cast<char(&)[16384]>(scratch))
    c = 0;
}

}  // namespace

int main() {
  LeakABlock();
  ScrubStack();
  return 0;
}
