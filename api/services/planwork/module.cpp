// ravn.planwork: deed plan and site plan documents of a parcel.
// The document generator arrives with its own work; the module loads already.
#include <pybind11/pybind11.h>

#include "ravn/rt.hpp"

namespace {
void load(pybind11::module_ m) { m.doc() = "Deed plan and site plan documents of a land parcel."; }
}  // namespace

RAVN_MODULE(planwork, load)
