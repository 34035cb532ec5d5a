#pragma once

namespace vantreel::platform::process {

// How a child ended: by calling exit, or by a signal (terminationStatus is then its number).
enum class TerminationReason { exit, uncaughtSignal };

}  // namespace vantreel::platform::process
