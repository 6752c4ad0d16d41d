// zelvora_analytics_utils.utils.dump: YAML and JSON output, YAML input.
#include <nanobind/nanobind.h>

NB_MODULE(dump, m) {
  m.doc() = "YAML and JSON output, YAML input.";
}
