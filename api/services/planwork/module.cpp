// ravn.planwork: deed plan and site plan documents of a parcel.
// The document generator arrives with its own work; the module loads already.
#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

PYBIND11_MODULE(planwork, m) {
  ravn::rt::init();
  m.doc() = "Deed plan and site plan documents of a land parcel.";
}
