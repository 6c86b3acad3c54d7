"""zub_feedback's response-matrix operations and chicane physics on numpy arrays.

Every number is the library's own, computed as a feedback server computes it:
matrices are held as float32 (other real dtypes and memory orders are taken
and narrowed), refusals are exceptions with the library's message, and the
library's messages go to the logger "zub_feedback" (ERROR, INFO, DEBUG; the
reporting operation in the record's attribute `operation`). Masked arrays and
text are refused with a TypeError.
"""

import os
from typing import (Any, Dict, Iterable, List, Mapping, Optional, Sequence,
                    Tuple, Union, overload)

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, os.PathLike]
_Matrix = npt.ArrayLike  # two-dimensional, real numbers
_Float32 = npt.NDArray[np.float32]
_Real = Union[float, int, np.floating, np.integer]
_Reals = npt.ArrayLike

class Error(Exception):
    """Base of the library's refusals."""

class LoadError(Error):
    """load() or read_matrix() refused the file; str(e) is the library's ERROR message, and a
    traceback shows the detail as a note."""

    message: str
    line: int
    """The line at fault, from 1, comment lines included; 0 for none."""
    detail: str
    """What was found there (`line 40: "NaN" is not a number`), or ''."""

class InversionError(Error):
    """invert() or pinv() was refused or failed; str(e) is the library's message."""

class Inversion:
    """Result of invert()."""

    @property
    def inverse(self) -> _Float32:
        """correctors x monitors."""
    @property
    def singular_values(self) -> _Float32:
        """All min(monitors, correctors) singular values, largest first."""
    @property
    def kept(self) -> int:
        """Number of singular values that entered the inverse."""
    @property
    def tolerance(self) -> np.float32:
        """The tolerance used; the internal one without tol."""

def load(path: _Path, monitors: int, correctors: int) -> _Float32:
    """A response-matrix file as a (monitors, correctors) float32 array.

    Raises LoadError with the library's ERROR message when the file cannot be
    read or its shape is not monitors x correctors; its line and detail name
    the line at fault.
    """

class NamedMatrix:
    """Result of read_matrix(): a matrix file's values, names and metadata."""

    @property
    def values(self) -> npt.NDArray[np.float64]:
        """monitors x correctors: the floats that load_file stores."""
    @property
    def monitors(self) -> List[str]:
        """Names of the rows, or []."""
    @property
    def correctors(self) -> List[str]:
        """Names of the columns, or []."""
    @property
    def metadata(self) -> Dict[str, str]:
        """The file's '# key: value' lines, in file order."""
    def to_pandas(self) -> Any:
        """A pandas.DataFrame indexed by monitor, a column per corrector
        (positions where the file names none). Imports pandas only here;
        ImportError when it is not installed."""

def read_matrix(path: _Path) -> NamedMatrix:
    """A matrix file of any shape with its names and metadata; the values
    as load() reads them. Raises LoadError (line, detail) when the file does
    not load or its names do not fit: another count than of rows or columns,
    a repeated name or key, names or metadata after the first data line."""

def write_matrix(
    path: _Path,
    values: _Matrix,
    monitors: Optional[Sequence[str]] = None,
    correctors: Optional[Sequence[str]] = None,
    metadata: Optional[Union[Mapping[str, Any], Iterable[Tuple[str, Any]]]] = None,
) -> None:
    """Writes values with their names and metadata (values as str()),
    atomically; load() reads the file as it is. Nine significant digits: a
    float32 reads back bit for bit, a float64 as the nearest float32. Raises ValueError for what
    would not read back (a name with a blank, a repeated name, another count
    than of rows or columns, a bad key, a value with a line break, an element
    that is not finite or beyond float32) and OSError when the file cannot
    be written."""

def invert(matrix: _Matrix, tol: Optional[float] = None) -> Inversion:
    """Truncated-SVD inverse: a singular value s enters when s > s_max * tol
    (relative); tol None (or -1) for the internal tolerance.

    Raises InversionError with the library's message when it refuses the
    matrix. Releases the GIL while it computes.
    """

def weighted_inverse(
    matrix: Union[_Matrix, NamedMatrix],
    monitor_weights: Optional[_Floats] = None,
    corrector_weights: Optional[_Floats] = None,
    tol: Optional[float] = None,
    exclude_monitors: Optional[Union[Sequence[int], Sequence[str]]] = None,
    exclude_correctors: Optional[Union[Sequence[int], Sequence[str]]] = None,
) -> Inversion:
    """invert() of matrix o (monitor_weights corrector_weights^T), times the
    weights again: weight 0 leaves a monitor or corrector out, its column or
    row of the inverse 0. exclude_*: indices of an array's rows and columns,
    or names of a NamedMatrix's, given weight 0 (times the weights given).

    Raises InversionError for weights of another count, a negative or NaN
    weight, an index or name the matrix lacks, and what invert refuses.
    Releases the GIL while it computes.
    """

def pinv(matrix: _Matrix, tol: float = 0.0) -> _Float32:
    """Moore-Penrose pseudo-inverse (Armadillo); input elements with
    0 < |a| < tol are zeroed first. Raises InversionError on a NaN or an
    infinity. Releases the GIL while it computes."""

class SvdInverse:
    """Result of svd_inverse()."""

    @property
    def inverse(self) -> npt.NDArray[np.float64]:
        """correctors x monitors."""
    @property
    def singular_values(self) -> npt.NDArray[np.float64]:
        """All min(monitors, correctors) singular values, largest first."""
    @property
    def kept(self) -> int:
        """Number of singular values that entered the inverse."""

def svd_inverse(
    matrix: _Matrix, rcond: Optional[float] = None, keep: Optional[int] = None
) -> SvdInverse:
    """Fast pseudo-inverse in double precision (LAPACK's dgesdd), not the
    server's numbers: modes with s <= rcond * s_max left out (None: 1e-15,
    as numpy.linalg.pinv), at most `keep` of them. Raises InversionError on a
    NaN or an infinity. Releases the GIL while it computes."""

class RegularizedInverse:
    """Result of regularized_inverse()."""

    @property
    def inverse(self) -> npt.NDArray[np.float64]:
        """correctors x monitors."""
    @property
    def singular_values(self) -> npt.NDArray[np.float64]:
        """All min(monitors, correctors) singular values, largest first."""
    @property
    def filter_factors(self) -> npt.NDArray[np.float64]:
        """Per mode, g s^2 / (s^2 + tikhonov^2); 0 for a mode left out."""
    @property
    def kept(self) -> int:
        """Number of modes in the inverse."""
    @property
    def tikhonov(self) -> float:
        """The Tikhonov parameter used."""
    @property
    def condition(self) -> float:
        """s_max / s_min over the modes kept; 0 when none is."""
    @property
    def effective_condition(self) -> float:
        """Largest over smallest effective gain g s / (s^2 + tikhonov^2) of
        the modes kept; 0 when none is."""

def regularized_inverse(
    matrix: _Matrix,
    rcond: Optional[float] = None,
    keep: Optional[int] = None,
    tikhonov: Optional[float] = 0.0,
    tikhonov_mode: Optional[int] = None,
    mode_gains: Optional[npt.ArrayLike] = None,
) -> RegularizedInverse:
    """Regularised inverse in double precision (LAPACK's dgesdd): V diag(d)
    U^T with d = g s / (s^2 + tikhonov^2) for the modes kept (s > 0,
    s > rcond * s_max, among the first `keep`, gain g > 0). tikhonov_mode=k
    takes tikhonov = s[k]; mode_gains holds one gain per singular value.
    Raises InversionError on a NaN or an infinity and on options out of
    range. Releases the GIL while it computes."""

def multiply(a: _Matrix, b: _Matrix) -> _Float32:
    """a x b in double precision, stored as float32; ValueError on shapes that do not fit."""

def entrywise_product(a: _Matrix, b: _Matrix) -> _Float32:
    """Element-wise product in single precision; ValueError on different shapes."""

def transpose(a: _Matrix) -> _Float32:
    """The transposed matrix."""

# The numeric core's corrector limits and orbit loop, on float64 arrays;
# a refusal is a ValueError with the core's message.
_Floats = npt.ArrayLike  # one-dimensional, real numbers
_Indices = npt.NDArray[np.intp]

def limit_step(
    current: _Floats,
    step: _Floats,
    lower: Optional[_Floats] = None,
    upper: Optional[_Floats] = None,
    max_step: Optional[_Floats] = None,
) -> Tuple[npt.NDArray[np.float64], float, _Indices]:
    """(s * step, s, binding): s the largest in [0, 1] that keeps every
    corrector within its limits (or no further out) and its largest step;
    binding the correctors that bound s. None: no such limit."""

class StepResult:
    """What OrbitLoop.step() did."""

    @property
    def delta(self) -> npt.NDArray[np.float64]:
        """Changes to add to the settings; zeros unless applied or limited."""
    @property
    def status(self) -> str:
        """'applied', 'deadband', 'limited', 'refused' or 'holding'."""
    @property
    def scale(self) -> float:
        """The limits' scale: 1 when whole, 0 when nothing moved."""
    @property
    def reason(self) -> str:
        """Why refused or holding, naming the monitor or corrector; '' otherwise."""
    @property
    def rms(self) -> float:
        """rms of the deviation over the monitors in use."""
    @property
    def index(self) -> Optional[int]:
        """The monitor or corrector that the reason names."""
    @property
    def binding(self) -> _Indices:
        """The correctors that bound the scale."""

class OrbitLoop:
    """The feedback loop of a server (docs/feedback-loop.md)."""

    def __init__(
        self,
        inverse: _Matrix,
        gain: float = 0.5,
        lower: Optional[_Floats] = None,
        upper: Optional[_Floats] = None,
        max_step: Optional[_Floats] = None,
        reference: Optional[_Floats] = None,
        integral_gain: float = 0.0,
        integral_limit: Union[None, float, _Floats] = None,
        deadband: float = 0.0,
        soft_start: int = 0,
        monitor_mask: Optional[npt.ArrayLike] = None,
        monitor_min: Optional[_Floats] = None,
        monitor_max: Optional[_Floats] = None,
        stale_cycles: int = 10,
        diverge_cycles: int = 5,
        noise_floor: float = 0.0,
        saturation_cycles: int = 0,
    ) -> None: ...
    def step(self, readings: _Floats, settings: _Floats) -> StepResult: ...
    def reset(self) -> None: ...
    def set_inverse(self, inverse: _Matrix) -> None: ...
    def set_reference(self, reference: _Floats) -> None: ...
    def leave_out_saturated(
        self, response: _Matrix, tol: Optional[float] = None
    ) -> _Indices:
        """The inverse becomes weighted_inverse(response, tol=tol) without
        the saturated correctors, those left out before and the masked
        monitors; returns the correctors now left out. ValueError, keeping
        the inverse, when refused."""
    @property
    def holding(self) -> bool: ...
    @property
    def saturated(self) -> _Indices:
        """Correctors at a limit, pushed out, for saturation_cycles steps."""
    @property
    def integral(self) -> npt.NDArray[np.float64]: ...
    @property
    def noise_floor(self) -> float: ...
# The RF column, the sum row and the measurement of a response matrix: in
# float64, refusals as ValueError with the library's message.
_Vector = npt.ArrayLike  # one-dimensional, or a column
_Float64 = npt.NDArray[np.float64]

class RfAugmentation:
    """Result of augment_rf()."""

    @property
    def matrix(self) -> _Float64:
        """(monitors or monitors + 1) x (correctors + 1)."""
    @property
    def rf_weight(self) -> float:
        """The RF column is rf_weight x dispersion."""
    @property
    def automatic_rf_weight(self) -> bool: ...
    @property
    def sum_weight(self) -> Optional[float]:
        """None without a sum row."""
    @property
    def monitors(self) -> int: ...
    @property
    def correctors(self) -> int: ...

def augment_rf(matrix: _Matrix, dispersion: _Vector,
               rf_weight: Optional[float] = None,
               sum_weight: Optional[float] = None) -> RfAugmentation:
    """[R | rf_weight x dispersion], with the row sum_weight x (1 ... 1, 0)
    when sum_weight is given; rf_weight None matches the RF column's norm to
    the mean column norm."""

def augment_deviation(augmentation: RfAugmentation, deviation: _Vector) -> _Float64:
    """The deviation with the sum row's target 0 appended when there is one."""

def split_rf(augmentation: RfAugmentation,
             solution: _Vector) -> Tuple[_Float64, float]:
    """(corrector_changes, rf_change) from inverse @ augment_deviation(...);
    the RF change in the dispersion's units."""

class MeasurementAction:
    """Set `corrector` to base + `offset`, then feed `skip` orbits while it
    settles and `take` that are averaged; `done` when nothing is left."""

    @property
    def done(self) -> bool: ...
    @property
    def corrector(self) -> int: ...
    @property
    def offset(self) -> float: ...
    @property
    def skip(self) -> int: ...
    @property
    def take(self) -> int: ...

class ResponseMeasurement:
    """The bipolar measurement of a response matrix, driven by the caller."""

    def __init__(self, monitors: int, correctors: int,
                 kick: Union[float, _Vector], settle_cycles: int = 0,
                 orbits: int = 10) -> None: ...
    def next(self) -> MeasurementAction:
        """ValueError while orbits are still wanted."""
    def add_orbit(self, orbit: _Vector) -> None:
        """ValueError, nothing counted, for a NaN, another size, or an orbit
        nobody asked for."""
    def abort(self) -> MeasurementAction:
        """The action that restores the corrector away from its base."""
    @property
    def wants_orbit(self) -> bool: ...
    @property
    def done(self) -> bool: ...
    @property
    def aborted(self) -> bool: ...
    @property
    def matrix(self) -> _Float64:
        """monitors x correctors; ValueError until done."""
    @property
    def standard_error(self) -> _Float64:
        """ValueError until done."""

# The chicane functions: plain numbers give a float, arrays (broadcast
# against each other) an array of float64.
@overload
def chop(val: _Real) -> float: ...
@overload
def chop(val: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def E2gamma(E: _Real) -> float: ...
@overload
def E2gamma(E: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def gamma2beta(gamma: _Real) -> float: ...
@overload
def gamma2beta(gamma: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def E2p(E: _Real) -> float: ...
@overload
def E2p(E: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def B2I(B: _Real, a1: _Real) -> float: ...
@overload
def B2I(B: _Reals, a1: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def B2alpha(B: _Real, E: _Real, leff: _Real) -> float: ...
@overload
def B2alpha(B: _Reals, E: _Reals, leff: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def alpha2B(alpha: _Real, E: _Real, leff: _Real) -> float: ...
@overload
def alpha2B(alpha: _Reals, E: _Reals, leff: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def alpha2R56(alpha: _Real, leff: _Real, d12: _Real) -> float: ...
@overload
def alpha2R56(alpha: _Reals, leff: _Reals, d12: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def alpha2x_bc(alpha: _Real, leff: _Real, d12: _Real) -> float: ...
@overload
def alpha2x_bc(alpha: _Reals, leff: _Reals, d12: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def alpha2r(alpha: _Real, leff: _Real) -> float: ...
@overload
def alpha2r(alpha: _Reals, leff: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def alpha2l_bc(alpha: _Real, r: _Real, d12: _Real, d23: _Real) -> float: ...
@overload
def alpha2l_bc(alpha: _Reals, r: _Reals, d12: _Reals, d23: _Reals) -> npt.NDArray[np.float64]: ...
@overload
def delta_t(l_bc: _Real, z12: _Real, z23: _Real, leff: _Real) -> float: ...
@overload
def delta_t(l_bc: _Reals, z12: _Reals, z23: _Reals, leff: _Reals) -> npt.NDArray[np.float64]: ...
