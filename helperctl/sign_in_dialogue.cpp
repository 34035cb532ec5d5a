#include "helperctl/sign_in_dialogue.hpp"

#include <chrono>
#include <optional>
#include <span>
#include <utility>

#include "platform/posix/io.hpp"
#include "platform/posix/secret_wipe.hpp"

namespace vantreel {
namespace {

using platform::posix::WipedOnExit;

// How long unfinished text stays so before it counts as a question.
constexpr auto unfinishedQuestion = std::chrono::milliseconds(1500);

bool says(std::string_view said, std::string_view words) {
  return said.find(words) != std::string_view::npos;
}

}  // namespace

SignInDialogue::SignInDialogue(platform::process::Task& task,
                               std::shared_ptr<platform::process::FileHandle> questions,
                               std::shared_ptr<platform::process::FileHandle> replies,
                               const SignIn::Answers& answers, int errorFd)
    : task_(task),
      questions_(std::move(questions)),
      replies_(std::move(replies)),
      answers_(answers),
      errorFd_(errorFd) {}

SignInDialogue::Outcome SignInDialogue::run() {
  for (;;) {
    const Step step = waitingForAnswer() ? Step::answer : read();
    if (step == Step::done || (step == Step::answer && !answer())) {
      return std::move(outcome_);
    }
  }
}

bool SignInDialogue::waitingForAnswer() const {
  if (!answers_ || pending_.empty() || SignIn::isPrompt(pending_)) {
    return false;
  }
  const auto readable =
      platform::posix::waitReadable(questions_->fileDescriptor(), unfinishedQuestion);
  return readable && !*readable;
}

SignInDialogue::Step SignInDialogue::read() {
  auto data = questions_->availableData();
  if (!data || data->empty()) {
    return Step::done;
  }
  const std::string& text = *data;
  if (!answers_) {
    (void)platform::posix::writeAll(errorFd_, std::as_bytes(std::span(text.data(), text.size())));
  }
  outcome_.said.append(text);
  pending_.append(text);
  if (const auto newline = pending_.rfind('\n'); newline != std::string::npos) {
    pending_.erase(0, newline + 1);
  }
  // A refused answer is asked for again: sending the next line would be a second attempt with
  // the wrong answer (and a lock-out on many servers). On a terminal the user decides.
  if (answers_ && says(outcome_.said, loginFailed)) {
    outcome_.refused = true;
    task_.terminate();
    return Step::done;
  }
  return answers_ && SignIn::isPrompt(pending_) ? Step::answer : Step::more;
}

bool SignInDialogue::answer() {
  std::string line;
  if (says(pending_, certificateQuestion)) {
    line = "no";  // trusted only on a terminal, by the user
  } else if (auto given = answers_()) {
    const WipedOnExit wipedGiven(*given);
    // Room for the line feed up front: growing would hand back a copy of the answer unwiped.
    line.reserve(given->size() + 1);
    line.append(*given);
  } else {
    outcome_.inputEnded = true;
    task_.terminate();
    return false;
  }
  line.push_back('\n');
  const WipedOnExit wiped(line);
  const auto written = replies_->writeData(line);
  pending_.clear();
  return written.has_value();
}

}  // namespace vantreel
