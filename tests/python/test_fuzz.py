"""Property-based fuzzing of the host layer's validation.

Each example draws every argument of a public call from a valid strategy,
except for up to two arguments drawn from a faulty one: near misses (a
shape one short, a position one past the grid, a NaN in an array, a width
too large for the grid) or anything at all (arbitrary dtypes and shapes,
strings, huge integers, None, dicts). The contract:

- the call succeeds, or raises NorvaneError whose parameter is one of the
  call's own or a part of one ('src_pos[0, 1]', 'eps_r.shape'), with a
  message that starts by naming it; no other exception and no numpy or
  torch warning escapes;
- with no faulty argument it succeeds (a memory refusal aside);
- no array or tensor the caller passed changes, whether it succeeds or not;
- the library never crashes the process (the test would die with it).

Runs are derandomised (the same examples every time) and bounded by
FUZZ_EXAMPLES; the factor per test weighs its cost.
"""

import os
import tempfile
import warnings

import numpy as np
import pytest

import norvane as nv

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis.configuration import set_hypothesis_home_dir  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

FUZZ_EXAMPLES = 60

# Hypothesis caches character tables in its home folder: keep it out of the tree.
set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "norvane-hypothesis"))


def fuzz(factor=1.0):
    return settings(max_examples=max(1, int(FUZZ_EXAMPLES * factor)), deadline=None,
                    derandomize=True, database=None, print_blob=False,
                    suppress_health_check=list(HealthCheck))


# ---- arbitrary values --------------------------------------------------------

ANY_DTYPE = st.one_of(hnp.boolean_dtypes(), hnp.integer_dtypes(), hnp.unsigned_integer_dtypes(),
                      hnp.floating_dtypes(), hnp.complex_number_dtypes(),
                      hnp.unicode_string_dtypes(max_len=3), hnp.datetime64_dtypes())


def _object_array(values):
    a = np.empty(len(values), object)
    a[:] = values
    return a


def any_array(shape=None):
    """Any dtype (objects included), the given shape or any small one."""
    shapes = hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4)
    if shape is not None:
        shapes = st.one_of(st.just(shape), shapes)
    objects = st.lists(st.one_of(st.none(), st.integers(), st.floats(), st.text(max_size=2)),
                       max_size=4).map(_object_array)
    return mostly(hnp.arrays(ANY_DTYPE, shapes), objects)


def mostly(common, rare, weight=3):
    """`common`, or `rare` once in weight + 1 draws (one_of would weigh the
    branches of nested one_of strategies equally)."""
    return st.integers(0, weight).flatmap(lambda i: common if i else rare)


SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.complex_numbers(),
    st.text(max_size=6), st.binary(max_size=3), st.integers(-10, 10).map(np.int64),
    st.floats(width=32).map(np.float32), st.booleans().map(np.bool_),
    st.sampled_from([2**31 - 1, 2**31, 2**32 + 1, 2**63, -2**31, 10**400, 1e-320, 1e308,
                     float("nan"), float("inf")]))
JUNK = st.one_of(
    SCALARS, any_array(),
    st.lists(st.one_of(st.integers(-5, 20), st.floats(-5, 20)), max_size=7),
    st.tuples(SCALARS, SCALARS, SCALARS),
    st.dictionaries(st.text(max_size=4), st.integers(-3, 12), max_size=3))


def bad(near=None):
    """A faulty argument: a near miss or, as often, anything."""
    return JUNK if near is None else mostly(near, JUNK, weight=1)


def draw_args(data, table):
    """{name: value} for table [(name, valid, faulty)], with at most two faulty
    arguments; returns the values and the names of the faulty ones."""
    faults = data.draw(st.sets(st.sampled_from([n for n, _, _ in table]), max_size=2))
    return {n: data.draw(faulty if n in faults else valid) for n, valid, faulty in table}, faults


# ---- the contract ------------------------------------------------------------

def _collect(obj, found, depth=0):
    if depth > 3:
        return
    if isinstance(obj, np.ndarray) or type(obj).__module__ == "torch":
        found.append(obj)
    elif isinstance(obj, (list, tuple)):
        for o in obj:
            _collect(o, found, depth + 1)
    elif isinstance(obj, dict):
        for o in obj.values():
            _collect(o, found, depth + 1)


def _content(a):
    if isinstance(a, np.ndarray):
        return a.dtype, a.shape, a.tobytes()
    return a.dtype, tuple(a.shape), a.detach().numpy().tobytes()


MEMORY = ("memory", "memory_limit")


def check(call, names, faults, *args, **kwargs):
    """Run `call` under the contract; return its result or the NorvaneError."""
    label = getattr(call, "__name__", type(call).__name__)
    arrays = []
    _collect((args, kwargs), arrays)
    before = [(a, _content(a)) for a in arrays]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            result = call(*args, **kwargs)
            event(f"{label}: ok")
        except nv.NorvaneError as err:
            p = err.parameter
            assert any(p == n or p.startswith((n + "[", n + ".")) for n in names + MEMORY), \
                (p, str(err))
            assert str(err).startswith(f"{p} = "), str(err)
            assert faults or isinstance(err, nv.NorvaneMemoryError), \
                f"valid arguments refused: {err}"
            event(f"{label}: refused")
            result = err
    for a, content in before:
        assert _content(a) == content, "a caller's array was changed"
    return result


# ---- building blocks ---------------------------------------------------------

def grids(lo=4, hi=7):
    return st.builds(nv.Grid, st.tuples(*[st.integers(lo, hi)] * 3),
                     st.floats(0.004, 0.02), order=st.sampled_from([2, 4, 8]))


def field(shape, lo, hi, dtype=np.float32):
    return hnp.arrays(dtype, shape, elements=st.floats(lo, hi, width=32))


def spoiled(arrays):
    """Arrays with one element replaced by a value outside every rule."""
    @st.composite
    def spoil(draw):
        a = draw(arrays).astype(np.float64)
        if a.size:
            a.flat[draw(st.integers(0, a.size - 1))] = draw(
                st.sampled_from([-1.0, 0.0, np.nan, np.inf, -np.inf, 1e300]))
        return a
    return spoil()


def fields(shape, lo, hi):
    """Valid real arrays in the dtypes and containers a caller may use."""
    return st.one_of(field(shape, lo, hi), field(shape, lo, hi, np.float64),
                     field(shape, lo, hi).map(lambda a: a.tolist()),
                     field(shape, max(lo, 0), hi).map(lambda a: np.ceil(a).astype(np.int16)))


def bad_fields(shape, lo, hi):
    near = st.one_of(spoiled(field(shape, lo, hi)), field(shape[1:] or (2,), lo, hi),
                     any_array(shape))
    return bad(near)


@st.composite
def positions_for(draw, grid, n_shots=None, min_n=1):
    n_shots = draw(st.integers(1, 2)) if n_shots is None else n_shots
    n = draw(st.integers(min_n, 2))
    cols = [draw(hnp.arrays(np.int64, (n_shots, n), elements=st.integers(0, m - 1)))
            for m in grid.shape]
    pos = np.stack(cols, axis=-1)
    return draw(st.sampled_from([pos, pos.astype(np.float32), pos.tolist(),
                                 pos.astype(np.uint16)]))


@st.composite
def bad_positions(draw, grid, n_shots):
    pos = np.array(draw(positions_for(grid, n_shots)), np.float64)
    i, j, a = (draw(st.integers(0, n - 1)) for n in pos.shape)
    pos[i, j, a] = draw(st.sampled_from([-1, grid.shape[a], 2**32 + 1, 0.5, np.nan, 1e30]))
    return draw(st.sampled_from([pos, pos[..., :2], pos[:, :, None], pos.astype(bool)]))


@st.composite
def surveys(draw, grid):
    src = np.array(draw(positions_for(grid)))
    rec = draw(positions_for(grid, src.shape[0], min_n=0))
    comps = st.sampled_from([0, 1, 2, "x", "ey", "Z"])
    return nv.Survey(grid, src, rec, draw(comps), draw(comps))


@st.composite
def materials(draw, grid):
    return nv.Materials(grid, draw(field(grid.shape, 1.0, 10.0)),
                        draw(field(grid.shape, 0.0, 0.0625)),
                        draw(st.none() | field(grid.shape, 1.0, 2.0)))


def layers_for(grid):
    """Widths that fit the grid: w_lo + w_hi <= n - 2 on every axis."""
    w = (min(grid.shape) - 2) // 2
    return st.builds(nv.AbsorbingLayers, st.one_of(st.integers(0, w),
                                                   st.tuples(*[st.integers(0, w)] * 6)))


def snapshot_settings():
    return st.builds(nv.Snapshots, st.integers(1, 5), st.sampled_from([0, 1, 2, "half"]),
                     st.sampled_from([1, 3]))


def wavelets(n_src, nt):
    w = field((n_src, nt), -1.0, 1.0)
    return st.one_of(w, w.map(lambda a: a.astype(np.float64)),
                     w.map(lambda a: a[0]) if n_src == 1 else w)


BOOLS = st.one_of(st.booleans(), st.booleans().map(np.bool_))
BAD_FLAGS = bad(st.sampled_from([0, 1, "yes", None, np.array([True, False]), np.array(2)]))


# ---- the model classes -------------------------------------------------------

@fuzz(2)
@given(data=st.data())
def test_grid(data):
    triple = st.tuples(*[st.integers(3, 8)] * 3)
    args, faults = draw_args(data, [
        ("shape", st.one_of(triple, triple.map(list), triple.map(np.array)),
         bad(st.one_of(st.tuples(*[st.integers(-2, 4)] * 3), st.tuples(st.integers(3, 8)),
                       st.just((3, 3, 2**31)), st.just((3, 3, 4.0)), triple.map(iter)))),
        ("spacing", st.one_of(st.floats(1e-3, 1.0), st.tuples(*[st.floats(1e-3, 1.0)] * 3)),
         bad(st.one_of(st.floats(), st.tuples(st.floats(1e-3, 1.0)),
                       st.sampled_from([1e-300, 1e300, 10**400])))),
        ("dt", st.none() | st.floats(1e-13, 1e-11), bad(st.floats() | st.just(1e-300))),
        ("order", st.sampled_from([2, 4, 8, np.int32(4)]),
         bad(st.sampled_from([0, 3, 6, 2.0, True, [2]]))),
        ("cfl", st.floats(0.1, 1.0), bad(st.floats() | st.just(1.5))),
    ])
    g = check(nv.Grid, ("shape", "spacing", "dt", "order", "cfl"), faults, **args)
    if isinstance(g, nv.Grid):
        assert min(g.shape) >= 3 and np.float32(g.dt) == g.dt > 0


@fuzz(2)
@given(data=st.data())
def test_materials(data):
    grid = data.draw(grids(3, 5))
    shape, names = grid.shape, ("grid", "eps_r", "sigma", "mu_r")
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad()),
        ("eps_r", fields(shape, 1.0, 10.0), bad_fields(shape, 1.0, 10.0)),
        ("sigma", st.none() | fields(shape, 0.0, 0.0625), bad_fields(shape, 0.0, 0.0625)),
        ("mu_r", st.none() | fields(shape, 1.0, 2.0), bad_fields(shape, 1.0, 2.0)),
    ])
    m = check(nv.Materials, names, faults, **args)
    if isinstance(m, nv.Materials):
        for a in (m.eps_r, m.sigma, m.mu_r):
            assert a.dtype == np.float32 and a.shape == shape and a.flags.c_contiguous
            assert all(a is not v for v in args.values())
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad()),
        ("eps_r", st.floats(1.0, 10.0), bad(st.floats() | st.just(1e300))),
        ("sigma", st.floats(0.0, 1.0), bad(st.floats(-1, 0, exclude_max=True))),
        ("mu_r", st.floats(1.0, 2.0) | st.integers(1, 2), bad(st.just(0.0)))])
    check(nv.Materials.homogeneous, names, faults, **args)


@fuzz(2)
@given(data=st.data())
def test_absorbing_layers_and_profiles(data):
    grading = [
        ("order_m", st.floats(1.0, 4.0), bad(st.floats() | st.just(10**400))),
        ("eps_r", st.floats(1.0, 20.0), bad(st.floats())),
        ("sigma_scale", st.floats(0.1, 2.0), bad(st.floats() | st.just(1e300))),
        ("kappa_max", st.floats(1.0, 5.0), bad(st.floats() | st.just(0.5))),
        ("alpha_max", st.floats(0.0, 0.05), bad(st.floats())),
    ]
    widths = st.one_of(st.integers(0, 4), st.tuples(*[st.integers(0, 4)] * 6),
                       st.dictionaries(st.sampled_from(["x", "y", "z", "xlo", "zhi"]),
                                       st.integers(0, 4), max_size=3))
    bad_widths = bad(st.one_of(st.just(-1), st.tuples(*[st.integers(0, 4)] * 5),
                               st.just({"top": 1}), st.just({"x": 1.5}), st.just(2**32)))
    args, faults = draw_args(data, [("widths", widths, bad_widths)] + grading)
    names = tuple(n for n, _, _ in grading)
    layers = check(nv.AbsorbingLayers, ("widths",) + names, faults, **args)
    if isinstance(layers, nv.AbsorbingLayers):
        grid = data.draw(mostly(grids(3, 12), JUNK))
        wide = not isinstance(grid, nv.Grid) or any(
            layers.widths[f"{a}lo"] + layers.widths[f"{a}hi"] > n - 2
            for a, n in zip("xyz", grid.shape))
        profiles = check(layers.profiles, ("grid", "widths"), wide, grid)
        if isinstance(profiles, dict):
            assert all(np.isfinite(p).all() for pair in profiles.values() for p in pair)
    args, faults = draw_args(data, [
        ("width", st.integers(1, 6), bad(st.just(0))),
        ("h", st.floats(1e-3, 1.0), bad(st.floats() | st.just(1e-300))),
        ("dt", st.floats(1e-13, 1e-11), bad(st.floats() | st.just(1e-300)))] + grading)
    check(nv.cpml_profiles, ("width", "h", "dt") + names, faults, **args)


@fuzz(2)
@given(data=st.data())
def test_survey(data):
    grid = data.draw(grids(3, 6))
    n_shots = data.draw(st.integers(1, 2))
    comps = st.sampled_from([0, 1, 2, "x", "ez", np.int8(1)])
    bad_comps = bad(st.sampled_from([3, -1, "w", 1.0, True]))
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad()),
        ("src_pos", positions_for(grid, n_shots), bad(bad_positions(grid, n_shots))),
        ("rec_pos", positions_for(grid, n_shots, min_n=0), bad(bad_positions(grid, n_shots))),
        ("src_comp", comps, bad_comps), ("rec_comp", comps, bad_comps)])
    s = check(nv.Survey, ("grid", "src_pos", "rec_pos", "src_comp", "rec_comp"), faults, **args)
    if isinstance(s, nv.Survey):
        assert s.src_pos.dtype == s.rec_pos.dtype == np.int32
        assert s.n_shots == n_shots and (s.src_pos < grid.shape).all()


@fuzz(2)
@given(data=st.data())
def test_snapshots_and_ricker(data):
    args, faults = draw_args(data, [
        ("interval", st.integers(1, 2**31 - 1), bad(st.sampled_from([0, -1, 2**31, 2**32 + 1]))),
        ("format", st.sampled_from([0, 1, 2, "half", "BFLOAT16", "float32", np.int64(1)]),
         bad(st.sampled_from([3, "fp8", 1.0, True]))),
        ("components", st.sampled_from([1, 3]), bad(st.sampled_from([0, 2, 3.0, "3"])))])
    check(nv.Snapshots, ("snapshot interval", "snapshot format", "snapshot components"),
          faults, **args)
    args, faults = draw_args(data, [
        ("freq", st.floats(1e6, 1e10), bad(st.floats() | st.just(10**400))),
        ("nt", st.integers(1, 300), bad(st.sampled_from([0, 2**31, 3.0]))),
        ("dt", st.floats(1e-13, 1e-9), bad(st.floats())),
        ("delay", st.none() | st.floats(-1e-6, 1e-6), bad(st.floats() | st.just("1e-9")))])
    w = check(nv.ricker, ("freq", "nt", "dt", "delay"), faults, **args)
    if isinstance(w, np.ndarray):
        assert w.shape == (args["nt"],) and w.dtype == np.float32 and np.isfinite(w).all()
    # Extreme but valid values must not give NaN (0 * inf far in the tail).
    w = nv.ricker(data.draw(st.floats(1e20, 1e300)), 5, 1.0)
    assert np.isfinite(w).all()


@fuzz()
@given(data=st.data())
def test_memory_api(data):
    grid = data.draw(grids())
    survey = data.draw(surveys(grid))
    limits = st.one_of(st.integers(1, 2**50), st.sampled_from(["4G", "1.5GiB", "10 MB", 2e9]))
    bad_limits = bad(st.sampled_from([0, -1, "x", "4Q", float("nan"), True]))
    previous = nv.get_memory_limit()
    try:
        args, faults = draw_args(data, [("nbytes", st.none() | limits, bad_limits)])
        check(nv.set_memory_limit, ("nbytes",), faults, **args)
    finally:
        nv.set_memory_limit(previous)
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad(grids())), ("survey", st.just(survey), bad()),
        ("nt", st.integers(1, 2**31 - 1), bad(st.sampled_from([0, 2**31]))),
        ("layers", st.none() | layers_for(grid), bad(st.just(nv.AbsorbingLayers(9)))),
        ("snapshots", st.none() | snapshot_settings(), bad()),
        ("save_snapshots", BOOLS, BAD_FLAGS), ("gradient", BOOLS, BAD_FLAGS),
        ("progress", st.sampled_from(["auto", True, False]), bad(st.just("yes"))),
        ("chunk_steps", st.none() | st.integers(1, 50), bad(st.just(0)))])
    est = check(nv.estimate_memory, tuple(args) + ("widths",), faults, **args)
    if isinstance(est, nv.MemoryEstimate):
        assert est.total == sum(est.items.values()) > 0
        assert str(est).split(" (")[0] == nv.memory.format_bytes(est.total)


# ---- the passes --------------------------------------------------------------

@fuzz(1.5)
@given(data=st.data())
def test_forward_and_gradient(data):
    """Small grids and few steps, so that many examples reach the library."""
    grid = data.draw(grids(4, 6))
    survey = data.draw(surveys(grid))
    other = data.draw(grids(7, 8))
    nt = data.draw(st.integers(1, 12))
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad(st.just(other))),
        ("materials", materials(grid), bad(materials(other))),
        ("survey", st.just(survey), bad(surveys(other))),
        ("wavelet", wavelets(survey.n_src, nt), bad_fields((survey.n_src, nt), -1.0, 1.0)),
        ("layers", st.none() | layers_for(grid), bad(st.just(nv.AbsorbingLayers(2)))),
        ("snapshots", st.none() | snapshot_settings(), bad()),
        ("save_snapshots", BOOLS, BAD_FLAGS),
        ("progress", st.sampled_from(["auto", False, True]), BAD_FLAGS),
        ("chunk_steps", st.none() | st.integers(1, 6), bad(st.just(0))),
        ("memory_limit", st.sampled_from([None, 2**30, "1G"]),
         bad(st.integers(1, 4096) | st.just("x")))])
    out = check(nv.forward, tuple(args) + ("dt", "widths"), faults, **args)
    if isinstance(out, nv.NorvaneError):
        return
    traces, state = out
    assert traces.shape == (survey.n_shots, state.nt, survey.n_rec)
    assert np.isfinite(traces).all()
    args, faults = draw_args(data, [
        ("state", st.just(state), bad()),
        ("residuals", fields(traces.shape, -1.0, 1.0), bad_fields(traces.shape, -1.0, 1.0)),
        ("eps_r", BOOLS, BAD_FLAGS), ("sigma", BOOLS, BAD_FLAGS), ("wavelet", BOOLS, BAD_FLAGS),
        ("progress", st.sampled_from(["auto", False]), bad()),
        ("chunk_steps", st.none() | st.integers(1, 6), bad(st.just(-1)))])
    # Material gradients need the stores: asking without them is a fault.
    if (args["eps_r"] is not False or args["sigma"] is not False) and not state.has_snapshots:
        faults.add("state")
    g = check(nv.gradient, tuple(args), faults, **args)
    if isinstance(g, nv.Gradients) and g.eps_r is not None:
        assert g.eps_r.shape == grid.interior_shape and np.isfinite(g.eps_r).all()


@fuzz(0.5)
@given(data=st.data())
def test_torch_simulator(data):
    torch = pytest.importorskip("torch")
    import norvane.torch as ntorch

    grid = data.draw(grids(4, 5))
    survey = data.draw(surveys(grid))
    args, faults = draw_args(data, [
        ("grid", st.just(grid), bad()), ("survey", st.just(survey), bad()),
        ("mu_r", st.none() | fields(grid.shape, 1.0, 2.0), bad_fields(grid.shape, 1.0, 2.0)),
        ("layers", st.none() | layers_for(grid), bad(st.just(nv.AbsorbingLayers(2)))),
        ("snapshots", st.none() | snapshot_settings(), bad()),
        ("progress", st.just(False), bad(st.just("yes")))])
    sim = check(ntorch.Simulator, tuple(args) + ("widths",), faults, **args)
    if isinstance(sim, nv.NorvaneError):
        return

    def tensors(shape, lo, hi):
        """Tensors of the shape (some asking for gradients) or the arrays themselves."""
        @st.composite
        def make(draw):
            arr = draw(field(shape, lo, hi, draw(st.sampled_from([np.float32, np.float64]))))
            t = torch.from_numpy(arr).requires_grad_(draw(st.booleans()))
            return draw(st.sampled_from([t, t, arr]))
        return make()

    def bad_tensors(shape, lo, hi):
        dtypes = st.sampled_from([np.bool_, np.complex64, np.float16, np.int32])
        return bad(st.one_of(
            hnp.arrays(dtypes, shape).map(torch.from_numpy),
            spoiled(field(shape, lo, hi)).map(torch.from_numpy),
            field(shape[:-1] + (shape[-1] + 1,), lo, hi).map(torch.from_numpy)))

    nt = data.draw(st.integers(1, 8))
    args, faults = draw_args(data, [
        ("eps_r", tensors(grid.shape, 1.0, 10.0), bad_tensors(grid.shape, 1.0, 10.0)),
        ("sigma", tensors(grid.shape, 0.0, 0.0625), bad_tensors(grid.shape, 0.0, 0.0625)),
        ("wavelet", tensors((survey.n_src, nt), -1.0, 1.0),
         bad_tensors((survey.n_src, nt), -1.0, 1.0))])
    inputs = list(args.values())
    traces = check(sim, tuple(args) + ("dt",), faults, *inputs)
    if torch.is_tensor(traces) and traces.requires_grad:
        traces.sum().backward()
        for t in inputs:
            if torch.is_tensor(t) and t.requires_grad:
                assert t.grad.shape == t.shape and torch.isfinite(t.grad).all()
