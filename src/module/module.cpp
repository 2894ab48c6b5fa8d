// Module entry and registration table. This file only converts and registers: every row
// forwards its converted arguments to the numeric core.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "basis/basis.h"
#include "gibbs/gibbs.h"
#include "linear/linear.h"
#include "mcmc/mcmc.h"
#include "module/constructed_only.h"
#include "module/input_vector.h"
#include "module/optional_matrix.h"
#include "robust/robust.h"
#include "select/select.h"
#include "series/series.h"
#include "stats/stats.h"
#include "uncertainty/uncertainty.h"

namespace py = pybind11;
using namespace py::literals;
using vasq::Matrix;
using vasq::Vector;
using vasq::binding::constructed_only_metaclass;
using vasq::binding::constructed_only_new;
using vasq::binding::InputVector;
using vasq::binding::optional_matrix;
using vasq::binding::pointer_to;
using vasq::binding::views_of;

namespace {

// R1 is converted before R2, both before any computation.
Vector fit_regularized_linear(const Matrix& Phi, const Vector& y, const py::object& R1,
                              const py::object& R2, double gamma1, double gamma2, double ridge) {
  const auto r1 = optional_matrix(R1);
  const auto r2 = optional_matrix(R2);
  return vasq::fit_regularized_linear(Phi, y, pointer_to(r1), pointer_to(r2), gamma1, gamma2,
                                      ridge);
}

vasq::MCMCResult fit_tournament(const vasq::TournamentMCMC& self, const Matrix& X, const Vector& y,
                                const py::object& R1, const py::object& R2, double gamma1,
                                double gamma2) {
  const auto r1 = optional_matrix(R1);
  const auto r2 = optional_matrix(R2);
  return self.fit(X, y, pointer_to(r1), pointer_to(r2), gamma1, gamma2);
}

// The names of `disabled` switch stages off.
vasq::RobustStages stages_of(const std::vector<std::string>& disabled) {
  vasq::RobustStages stages;
  for (const std::string& name : disabled) {
    if (name == "elemental")
      stages.elemental = false;
    else if (name == "concentration")
      stages.concentration = false;
    else if (name == "reweighting")
      stages.reweighting = false;
    else
      throw py::value_error("unknown stage '" + name + "'");
  }
  return stages;
}

// The fit's fields; its residuals, scales and leverages where it holds them.
py::dict fit_dict(vasq::RobustFitResult fit) {
  py::dict scores;
  for (int k = 0; k < vasq::kNoiseKinds; ++k)
    if (!std::isnan(fit.noise_scores[k]))
      scores[vasq::noise_kind_name(static_cast<vasq::NoiseKind>(k))] = fit.noise_scores[k];
  py::dict d("beta"_a = std::move(fit.beta), "weights"_a = std::move(fit.weights), "s0"_a = fit.s0,
             "noise_kind"_a = vasq::noise_kind_name(fit.noise.kind),
             "noise_params"_a = std::move(fit.noise.params), "noise_scores"_a = scores,
             "trimmed_rms"_a = fit.trimmed_rms, "n_starts"_a = fit.n_starts,
             "n_csteps"_a = fit.n_csteps, "n_irls"_a = fit.n_irls,
             "cluster_veto"_a = fit.cluster_veto, "kept_rows_trend"_a = fit.kept_rows_trend);
  if (fit.residuals.size() > 0) {
    d["residuals"] = std::move(fit.residuals);
    d["scale"] = std::move(fit.scale);
    d["leverage"] = std::move(fit.leverage);
  }
  return d;
}

// The var_weights given, read in place (on large data a copy is the size of the input), or
// `ones` filled with weights of 1.
vasq::ColumnView var_weights_or_ones(const std::optional<InputVector>& v, vasq::Index n,
                                     Vector& ones) {
  if (v) return v->view();
  ones = Vector::Ones(n);
  return vasq::ColumnView(ones.data(), n);
}

Matrix design_matrix_1d(int deg, const InputVector& x) {
  return vasq::design_matrix_1d(deg, x.view());
}

Matrix design_matrix_nd(const vasq::MultiIndexList& multi_indices,
                        const std::vector<InputVector>& X_cols) {
  return vasq::design_matrix_nd(multi_indices, views_of(X_cols));
}

// The fits run without the interpreter lock. No var_weights are weights of 1.
py::dict robust_fit(const std::vector<InputVector>& T, const vasq::MultiIndexList& powers,
                    const InputVector& y, const InputVector& w, std::uint64_t seed,
                    const std::vector<std::string>& disabled, const std::optional<InputVector>& v,
                    double zero, const std::string& noise) {
  const vasq::RobustStages stages = stages_of(disabled);
  vasq::RobustFitResult fit;
  vasq::SharedReplicateGroups groups;
  {
    py::gil_scoped_release release;
    Vector ones;
    const vasq::ColumnView y_view = y.view();
    fit = vasq::robust_fit(views_of(T), powers, y_view, w.view(),
                           var_weights_or_ones(v, y_view.size(), ones), zero, noise, seed, stages,
                           groups);
  }
  return fit_dict(std::move(fit));
}

Vector noise_scale(const std::string& kind, const Vector& params, double zero,
                   const InputVector& mean, const std::vector<InputVector>& T) {
  const vasq::NoiseModel model{vasq::noise_kind_of(kind), params};
  py::gil_scoped_release release;
  return vasq::noise_sd(model, zero, mean.view(), views_of(T));
}

Matrix design_matrix(const std::vector<InputVector>& T, const vasq::MultiIndexList& powers) {
  py::gil_scoped_release release;
  return vasq::term_design(views_of(T), powers);
}

py::tuple biweight(const Vector& u) {
  vasq::BiweightArrays b;
  {
    py::gil_scoped_release release;
    b = vasq::biweight_arrays(u);
  }
  return py::make_tuple(std::move(b.rho), std::move(b.psi), std::move(b.psi_prime),
                        std::move(b.weight));
}

// The design converted from NumPy is the core's to scale in place.
Vector weighted_leverage(Matrix X, const Vector& w) {
  py::gil_scoped_release release;
  return vasq::weighted_leverage(std::move(X), w);
}

// The score's parts (trimmed, penalty, serial), lower better in sum.
std::tuple<double, double, double> degree_score(const Vector& residuals, const Vector& leverage,
                                                const Vector& scale, const Vector& weights,
                                                double s0, vasq::Index n_params, const Vector& w,
                                                double mass,
                                                const std::optional<vasq::RowOrder>& order) {
  py::gil_scoped_release release;
  const vasq::DegreeScore score =
      vasq::degree_score({residuals, leverage, scale, weights, s0, n_params}, w, mass,
                         order ? *order : vasq::RowOrder());
  return {score.trimmed, score.penalty, score.serial};
}

// The search's fits as robust_fit's, without the residuals, scales and leverages that their
// scores read (and but for the chosen with empty weights); the scores' parts; the index chosen.
py::tuple search_tuple(vasq::DegreeSearch found) {
  py::list fits, scores;
  for (vasq::RobustFitResult& fit : found.fits) fits.append(fit_dict(std::move(fit)));
  for (const vasq::DegreeScore& score : found.scores)
    scores.append(py::make_tuple(score.trimmed, score.penalty, score.serial, score.given_up));
  return py::make_tuple(fits, scores, found.best);
}

py::tuple search_degrees(const std::vector<InputVector>& T,
                         const std::vector<vasq::MultiIndexList>& candidates, const InputVector& y,
                         const InputVector& w, std::uint64_t seed,
                         const std::optional<InputVector>& v, double zero,
                         const std::string& noise) {
  vasq::DegreeSearch found;
  {
    py::gil_scoped_release release;
    Vector ones;
    const vasq::ColumnView y_view = y.view();
    found = vasq::search_degrees(views_of(T), candidates, y_view, w.view(),
                                 var_weights_or_ones(v, y_view.size(), ones), zero, noise, seed);
  }
  return search_tuple(std::move(found));
}

Matrix log_sd_gradient(const std::string& kind, const Vector& params, double zero,
                       const InputVector& mean, const std::vector<InputVector>& T) {
  const vasq::NoiseModel model{vasq::noise_kind_of(kind), params};
  py::gil_scoped_release release;
  return vasq::log_sd_gradient(model, zero, mean.view(), views_of(T));
}

// The fields of FitUncertainty; dof_moments stacked as (1 + q, p, p).
py::dict uncertainty_dict(vasq::FitUncertainty u, py::ssize_t p) {
  py::array_t<double> moments({static_cast<py::ssize_t>(u.dof_moments.size()), p, p});
  auto m = moments.mutable_unchecked<3>();
  for (py::ssize_t k = 0; k < m.shape(0); ++k)
    for (py::ssize_t i = 0; i < p; ++i)
      for (py::ssize_t j = 0; j < p; ++j)
        m(k, i, j) = u.dof_moments[static_cast<std::size_t>(k)](i, j);
  return py::dict("mean"_a = std::move(u.mean), "scale"_a = std::move(u.scale),
                  "beta_cov"_a = std::move(u.beta_cov), "noise_cov"_a = std::move(u.noise_cov),
                  "dof_moments"_a = moments, "scale_dof"_a = u.scale_dof);
}

py::dict fit_uncertainty(const std::vector<InputVector>& T, const vasq::MultiIndexList& powers,
                         const Vector& beta, const InputVector& y, const InputVector& w,
                         const InputVector& v, const InputVector& weights, const std::string& noise,
                         const Vector& params, double zero, bool robust) {
  const vasq::NoiseModel model{vasq::noise_kind_of(noise), params};
  vasq::FitUncertainty u;
  {
    py::gil_scoped_release release;
    const vasq::Columns columns = views_of(T);
    u = vasq::fit_uncertainty(
        {columns, powers, beta, y.view(), w.view(), v.view(), weights.view(), model, zero, robust});
  }
  return uncertainty_dict(std::move(u), static_cast<py::ssize_t>(beta.size()));
}

// Each data set's (fits, scores, best, uncertainty) as search_degrees and fit_uncertainty give
// them, or the message of the invalid argument that stopped it; all without the interpreter lock.
py::list fit_series(const std::vector<InputVector>& T, const InputVector& y, const InputVector& w,
                    const InputVector& v, const std::vector<vasq::Index>& offsets,
                    const std::vector<vasq::MultiIndexList>& candidates,
                    const std::vector<vasq::Index>& n_candidates, const std::vector<double>& zero,
                    const std::vector<std::uint64_t>& seeds, const std::string& noise) {
  std::vector<vasq::SeriesFit> fits;
  {
    py::gil_scoped_release release;
    const vasq::Columns columns = views_of(T);
    fits = vasq::fit_series({columns, y.view(), w.view(), v.view(), offsets, candidates,
                             n_candidates, zero, seeds, noise});
  }
  py::list out;
  for (vasq::SeriesFit& fit : fits) {
    if (fit.error) {
      out.append(py::str(*fit.error));
      continue;
    }
    const auto p = static_cast<py::ssize_t>(fit.search.fits[fit.search.best].beta.size());
    py::dict uncertainty = uncertainty_dict(std::move(fit.uncertainty), p);
    py::tuple search = search_tuple(std::move(fit.search));
    out.append(py::make_tuple(search[0], search[1], search[2], uncertainty));
  }
  return out;
}

} // namespace

PYBIND11_MODULE(vasq_core, m, py::multiple_interpreters::not_supported()) {
  vasq::use_machine_independent_blocking();
  m.doc() = "VASQ-P performans-kritik cekirdegi (C++/Eigen).";

  // Rows in interface order; a class is registered before the functions that name it.
  /*  1 */ m.def("mad", &vasq::mad, "y"_a);
  /*  2 */ m.def("compute_sr", &vasq::compute_sr, "yp"_a, "yt"_a, "eps"_a);
  /*  3 */ m.def("mdl_score", &vasq::mdl_score, "yp"_a, "yt"_a, "k"_a, "H"_a = 20);
  /*  4 */ m.def("mdl_score_reg", &vasq::mdl_score_reg, "yp"_a, "yt"_a, "k"_a, "H"_a, "beta"_a,
                 "R1"_a, "R2"_a, "gamma1"_a = 0.0, "gamma2"_a = 0.0);
  /*  5 */ m.def("design_matrix_1d", &design_matrix_1d, "deg"_a, "x"_a);
  /*  6 */ m.def("smoothness_penalty_matrices_1d", &vasq::smoothness_penalty_matrices_1d, "deg"_a,
                 "x_min"_a, "x_max"_a, "n_grid"_a = 600);
  /*  7 */ m.def("boundary_reduce_1d", &vasq::boundary_reduce_1d, "deg"_a, "x_min"_a, "x_max"_a);
  /*  8 */ m.def("design_matrix_nd", &design_matrix_nd, "multi_indices"_a, "X_cols"_a);
  /*  9 */ m.def("build_penalty_matrices_nd", &vasq::build_penalty_matrices_nd, "degrees"_a,
                 "bounds"_a, "n_grid_per_dim"_a = 30);
  /* 10 */ m.def("ols", &vasq::ols, "X"_a, "y"_a);
  /* 11 */ m.def("fit_regularized_linear", &fit_regularized_linear, "Phi"_a, "y"_a,
                 "R1"_a = py::none(), "R2"_a = py::none(), "gamma1"_a = 0.0, "gamma2"_a = 0.0,
                 "ridge"_a = 1e-10);
  /* 12 */ py::class_<vasq::GibbsResult>(m, "GibbsResult", py::is_final(),
                                         constructed_only_metaclass(), constructed_only_new())
      .def_readonly("H", &vasq::GibbsResult::H)
      .def_readonly("Hmax", &vasq::GibbsResult::Hmax)
      .def_readonly("He", &vasq::GibbsResult::He)
      .def_readonly("r_heat", &vasq::GibbsResult::r_heat)
      .def_readonly("var_E", &vasq::GibbsResult::var_E)
      .def_readonly("T", &vasq::GibbsResult::T);
  /* 13 */ m.def("gibbs_entropy", &vasq::gibbs_entropy, "energies"_a, "T"_a = 1.0);
  // Read-only members are returned as views bound to (and keeping alive) their result.
  /* 14 */ py::class_<vasq::MCMCResult>(m, "MCMCResult", py::is_final(),
                                        constructed_only_metaclass(), constructed_only_new())
      .def_readonly("beta_mcmc", &vasq::MCMCResult::beta_mcmc)
      .def_readonly("energy", &vasq::MCMCResult::energy)
      .def_readonly("gibbs", &vasq::MCMCResult::gibbs)
      .def_readonly("n_chains", &vasq::MCMCResult::n_chains)
      .def_readonly("n_elite", &vasq::MCMCResult::n_elite);
  /* 15 */ py::class_<vasq::TournamentMCMC>(m, "TournamentMCMC", py::is_final(),
                                            constructed_only_metaclass(), constructed_only_new())
      .def(py::init<int, int, int, int, double, int, std::uint64_t>(), "n_chains"_a = 25,
           "n_warmup"_a = 200, "n_deep"_a = 2000, "n_elite"_a = 5, "step_size"_a = 0.05,
           "H_piH"_a = 20, "seed"_a = std::uint64_t{42})
      /* 16 */.def("fit", &fit_tournament, "X"_a, "y"_a, "R1"_a = py::none(), "R2"_a = py::none(),
                   "gamma1"_a = 0.0, "gamma2"_a = 0.0);
  /* 17 */ m.def("robust_fit", &robust_fit, "T"_a, "powers"_a, "y"_a, "w"_a,
                 "seed"_a = std::uint64_t{0}, "disabled"_a = std::vector<std::string>{},
                 "var_weights"_a = py::none(), "zero"_a = 0.0, "noise"_a = "auto");
  /* 18 */ m.def("design_matrix", &design_matrix, "T"_a, "powers"_a);
  /* 19 */ m.def("biweight", &biweight, "u"_a);
  /* 20 */ m.attr("BIWEIGHT_C") = vasq::kBiweightC;
  /* 21 */ m.def("weighted_leverage", &weighted_leverage, "X"_a, "w"_a);
  /* 22 */ m.def("noise_scale", &noise_scale, "kind"_a, "params"_a, "zero"_a, "mean"_a, "T"_a);
  /* 23 */ m.attr("INLIER_CUT") = vasq::kInlierCut;
  /* 24 */ m.def("degree_score", &degree_score, "residuals"_a, "leverage"_a, "scale"_a, "weights"_a,
                 "s0"_a, "n_params"_a, "w"_a, "mass"_a, "order"_a = py::none());
  /* 25 */ m.def("search_degrees", &search_degrees, "T"_a, "candidates"_a, "y"_a, "w"_a,
                 "seed"_a = std::uint64_t{0}, "var_weights"_a = py::none(), "zero"_a = 0.0,
                 "noise"_a = "auto");
  /* 26 */ m.def("parsimonious", &vasq::parsimonious, "scores"_a);
  /* 27 */ m.def("log_sd_gradient", &log_sd_gradient, "kind"_a, "params"_a, "zero"_a, "mean"_a,
                 "T"_a);
  /* 28 */ m.def("fit_uncertainty", &fit_uncertainty, "T"_a, "powers"_a, "beta"_a, "y"_a, "w"_a,
                 "var_weights"_a, "weights"_a, "noise"_a, "noise_params"_a, "zero"_a, "robust"_a);
  /* 29 */ m.def("fit_series", &fit_series, "T"_a, "y"_a, "w"_a, "var_weights"_a, "offsets"_a,
                 "candidates"_a, "n_candidates"_a, "zero"_a, "seeds"_a, "noise"_a);
}
