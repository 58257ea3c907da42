// Stand-in for the product's helper programs (ferryd.exe, Zephlin.exe): does nothing and stays
// alive until it is ended, or for ten minutes so that a failed test leaves nothing behind for long.
#include <windows.h>

int wmain() {
  ::Sleep(10 * 60 * 1000);
  return 0;
}
