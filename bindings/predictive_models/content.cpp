// zelvora_analytics_utils.predictive_models.content: the content bundle.
#include <nanobind/nanobind.h>

NB_MODULE(content, m) {
  m.doc() = "The content bundle: directory, tar and zip.";
}
