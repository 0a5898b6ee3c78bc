/* The public header compiles as C99 and its five exports link from C. */
#include <stdio.h>
#include <stdlib.h>

#include "lib/interface/norvane_cpu.h"

int main(void) {
  enum { N = 3 * 3 * 3 };
  float eps_r[N], sigma[N], mu_r[N], f[6][N], c[6][N];
  int i, k;
  for (i = 0; i < N; ++i) {
    eps_r[i] = 1.0f;
    sigma[i] = 0.0f;
    mu_r[i] = 1.0f;
    for (k = 0; k < 6; ++k) f[k][i] = c[k][i] = 0.0f;
  }
  if (norvane_abi_version() != 6 || norvane_supports_external_pml() != 1) return 1;
  set_fdtd_order(4);
  forward(eps_r, sigma, mu_r, NULL, NULL, f[0], f[1], f[2], f[3], f[4], f[5], c[0], c[1], c[2],
          c[3], c[4], c[5], NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
          NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 0, 0,
          0, 0, 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 2, 1,
          0, NULL, NULL, 2, 3, 3, 3, 1e-12f, 0.01f, 0.01f, 0.01f, 0, NULL, NULL, 2, 1, 3,
          0x4000000, 0);
  backward(eps_r, sigma, mu_r, NULL, NULL, f[0], f[1], f[2], f[3], f[4], f[5], c[0], c[1], c[2],
           c[3], c[4], c[5], NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,
           NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 0, 0, 0,
           0, 0, 0, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 2, 1,
           0, 3, 3, 3, 1e-12f, 0.01f, 0.01f, 0.01f, 0, NULL, NULL, 2, 0, NULL, 2, NULL, 0, NULL,
           NULL, 0, 0, 1, 3, 0);
  /* cb_e at the one interior node of a vacuum grid: positive and finite. */
  if (!(c[1][0] > 0.0f) || c[0][0] != 1.0f) return 2;
  printf("ok\n");
  return 0;
}
