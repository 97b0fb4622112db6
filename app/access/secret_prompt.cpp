#include "app/access/secret_prompt.h"

#include "app/access/secrets.h"

SecretPrompt secret_prompt(const std::string& who) {
  SecretPrompt got;
  if (!secret_prompt_is_terminal()) {
    if (!secret_prompt_read_line("", &got.secret)) {
      got.problem = "no secret on standard input: give it as one line";
      return got;
    }
  } else {
    std::string again;
    if (!secret_prompt_read_line("Secret for " + who + ": ", &got.secret) ||
        !secret_prompt_read_line("The same again: ", &again)) {
      got.problem = "no secret given";
      return got;
    }
    if (again != got.secret) {
      got.problem = "the two secrets differ: nothing was changed";
      return got;
    }
  }
  if (!got.secret.empty() && got.secret.back() == '\r') got.secret.pop_back();
  got.problem = secret_problem(got.secret);
  got.ok = got.problem.empty();
  return got;
}
