// PLACEHOLDER: stands in until the real module replaces this whole file.
#include "platform/platform.h"
namespace plat {
int _open(const char*, int, int) { return -1; }
long _read(int, void*, unsigned) { return -1; }
long _write(int, const void*, unsigned) { return -1; }
int64_t _lseek(int, int64_t, int) { return -1; }
int _chsize(int, int64_t) { return -1; }
int _close(int) { return -1; }
int _stat(const char*, StatRec*) { return -1; }
int _access(const char*, int) { return -1; }
int _unlink(const char*) { return -1; }
int _chmod(const char*, int) { return -1; }
int _utime(const char*, int64_t, int64_t) { return -1; }
int _mkdir(const char*) { return -1; }
int _chdir(const char*) { return -1; }
char* _getcwd(char*, int) { return nullptr; }
char* _fullpath(char*, const char*, size_t) { return nullptr; }
void _splitpath(const char*, char*, char*, char*, char*) {}
uint32_t GetFileAttributesA(const char*) { return INVALID_FILE_ATTRIBUTES; }
int SetFileAttributesA(const char*, uint32_t) { return 0; }
FindHandle FindFirstFileA(const char*, FindData*) { return INVALID_HANDLE_VALUE; }
int FindNextFileA(FindHandle, FindData*) { return 0; }
int FindClose(FindHandle) { return 1; }
uint32_t GetLastError() { return 0; }
int _getch() { return -1; }
int _putch(int c) { return c; }
bool is_option_prefix(char c) { return c == '-'; }
}  // namespace plat
