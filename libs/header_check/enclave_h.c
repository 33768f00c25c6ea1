/* brisvander/enclave.h compiled as C on its own. */
#include <brisvander/enclave.h>

int bv_enclave_header_is_c(const bv_enclave* enclave);
int bv_enclave_header_is_c(const bv_enclave* enclave) {
  return bv_enclave_pipe_token(enclave) == NULL ? BV_ENCLAVE_E_ARGUMENT : BV_ENCLAVE_OK;
}
