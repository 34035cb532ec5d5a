#include "platform/process/pipe.hpp"

#include "platform/posix/io.hpp"

namespace vantreel::platform::process {

posix::SysResult<Pipe> Pipe::make() {
  auto ends = posix::makePipe();
  if (!ends) {
    return tl::unexpected(ends.error());
  }
  return Pipe(std::make_shared<FileHandle>(std::move(ends->read)),
              std::make_shared<FileHandle>(std::move(ends->write)));
}

}  // namespace vantreel::platform::process
