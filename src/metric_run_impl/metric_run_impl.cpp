#include <nanobind/nanobind.h>

NB_MODULE(metric_run_impl, m) { (void)m; }
