/* brisvander/companion.h compiled as C on its own. */
#include <brisvander/companion.h>

int bv_companion_header_is_c(void);
int bv_companion_header_is_c(void) {
  bv_grant grant = {0, {0}, {0}};
  return (int)sizeof grant.pipe_token + BV_E_ARGUMENT;
}
