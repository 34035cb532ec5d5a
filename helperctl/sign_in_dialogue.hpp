#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "helperctl/sign_in.hpp"
#include "platform/process/file_handle.hpp"
#include "platform/process/task.hpp"

namespace vantreel {

// The questions a signing-in OpenConnect asks on its standard error, and the answers written
// to its standard input, until it stops asking or the sign-in cannot go on.
class SignInDialogue {
 public:
  // OpenConnect's own words for the cases the user must be told apart (version 9,
  // untranslated: the sign-in runs it in the C.UTF-8 locale).
  static constexpr std::string_view loginFailed = "Login failed";
  static constexpr std::string_view certificateQuestion = "Enter 'yes' to accept";

  struct Outcome {
    std::string said;  // all OpenConnect wrote on standard error
    bool inputEnded = false;
    bool refused = false;  // an answer was refused: no second attempt was made
  };

  // answers as SignIn::run's; without them the questions go to errorFd for the user.
  SignInDialogue(platform::process::Task& task,
                 std::shared_ptr<platform::process::FileHandle> questions,
                 std::shared_ptr<platform::process::FileHandle> replies,
                 const SignIn::Answers& answers, int errorFd);

  // Runs until OpenConnect closes its standard error or the sign-in cannot go on.
  [[nodiscard]] Outcome run();

 private:
  enum class Step { more, answer, done };

  // Whether the text written since the last line feed has stayed unfinished long enough to be
  // a question worded without a final colon.
  [[nodiscard]] bool waitingForAnswer() const;
  // Reads what OpenConnect wrote next.
  [[nodiscard]] Step read();
  // Writes the answer to the pending question; false when the sign-in cannot go on.
  [[nodiscard]] bool answer();

  platform::process::Task& task_;
  const std::shared_ptr<platform::process::FileHandle> questions_;
  const std::shared_ptr<platform::process::FileHandle> replies_;
  const SignIn::Answers& answers_;
  const int errorFd_;
  std::string pending_;  // written since the last line feed
  Outcome outcome_;
};

}  // namespace vantreel
