// The replaceable table of read and write calls, the same on every system:
// _read and _write go through it, and it starts with the system's own.
#include "platform/io_system.h"
#include "platform/platform.h"

namespace plat {

namespace {

const IoCalls system_calls = {system_read, system_write};
const IoCalls* io_calls = &system_calls;

}  // namespace

const IoCalls* set_io_calls(const IoCalls* calls) {
    const IoCalls* previous = io_calls;
    io_calls = calls != nullptr ? calls : &system_calls;
    return previous;
}

const IoCalls& system_io_calls() { return system_calls; }

long _read(int fd, void* buf, unsigned n) { return io_calls->read(fd, buf, n); }

long _write(int fd, const void* buf, unsigned n) { return io_calls->write(fd, buf, n); }

}  // namespace plat
