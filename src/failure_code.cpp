// Gives each failure its stable word for scripts.
#include "failure_code.hpp"

#include <cerrno>

namespace {

// What a system error means for the one who runs the program; `home` where the folder concerned
// is the home itself.
std::string_view code_of_error(int error, bool home) {
  switch (error) {
    case ENOENT:
      return home ? "no_home" : "no_folder";
    case ENOTDIR:
      return "not_a_folder";
    case EACCES:
    case EPERM:
      return "permission";
    case EROFS:
      return "read_only";
    case ENOSPC:
    case EDQUOT:
      return "no_space";
    case EFBIG:
      return "too_big";
    case ELOOP:
      return "link";
    case ENAMETOOLONG:
      return "name_too_long";
    case EIO:
      return "io_error";
    default:
      break;
  }
  return "system";
}

std::string_view code_of_list(list_reader::verdict problem) {
  using list_reader::verdict;
  switch (problem) {
    case verdict::too_large:
    case verdict::grows_too_large:  // the list with the entry would pass the bound
      return "too_big";
    case verdict::malformed:
      return "malformed";
    case verdict::not_jsplugins:
      return "not_jsplugins";
    case verdict::entity_declared:
      return "entities";
    case verdict::too_many_attributes:
      return "too_many_attributes";
    case verdict::too_deep:
      return "too_deep";
    case verdict::too_many_names:
      return "too_many_names";
    case verdict::too_many_entries:
      return "too_many_entries";
    case verdict::not_utf8:
      return "not_utf8";
    case verdict::no_place:
      return "no_place";
    case verdict::read_failed:
      return "io_error";
    default:
      break;
  }
  return "malformed";
}

}  // namespace

std::string_view code_of(const failure& f) {
  switch (f.why) {
    case cause::system:
      break;
    case cause::not_regular:
      return "not_a_file";
    case cause::list_problem:
      return code_of_list(f.problem);
    case cause::check_failed:
      return "check_failed";
    case cause::lock_timeout:
      return "lock_timeout";
    case cause::dangling_link:
      return "dangling_link";
    case cause::is_link:
      return "link";
    case cause::not_roots:
      return "not_root_owned";
    case cause::others_may_write:
      return "others_may_write";
    case cause::unknown_user:
      return "no_user";
    case cause::no_account:
      return "no_account";
    case cause::root_regained:
      return "root_regained";
    case cause::run_timeout:
      return "run_timeout";
    case cause::killed:
      return "killed";
  }
  if (f.at == step::home_unset)
    return "no_home";
  return code_of_error(f.error, f.at == step::enter_home || f.at == step::user_home);
}
