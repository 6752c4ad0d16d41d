#include "zelvora/yaml_writer.hpp"

#include <doctest/doctest.h>
