// ravn.plots: the survey map of one parcel.
// The map renderer arrives with its own work; the module loads already.
#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

PYBIND11_MODULE(plots, m) {
  ravn::rt::init();
  m.doc() = "Survey maps of land parcels.";
}
