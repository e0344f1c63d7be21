// ravn.plots: the survey map of one parcel.
// The map renderer arrives with its own work; the module loads already.
#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

namespace {
void load(pybind11::module_ m) { m.doc() = "Survey maps of land parcels."; }
}  // namespace

RAVN_MODULE(plots, load)
