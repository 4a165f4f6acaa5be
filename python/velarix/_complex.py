"""Complex data as two real curves on the same knots.

``interpolate(x, y)`` with complex ``y`` fits the real and the imaginary
parts as curves of their own, with the same method and settings, and
returns a ``ComplexInterpolant`` that evaluates both and joins them. Each
part keeps its method's shape promise on its own; a complex curve has no
level crossings of its own, so ``solve`` is asked of a part.
"""

import numpy as np


class ComplexInterpolant:
    """A complex curve made of two real ``Interpolant`` parts on the same knots.

    ``f(x, nu=0)``, ``f.integrate(a, b)``, ``f.derivative(nu)`` and
    ``f.antiderivative(nu)`` do on each part what an ``Interpolant`` does and
    return ``real + 1j * imag`` (a complex array, or a NumPy complex for a
    scalar ``x`` and one curve); ``f.real`` and ``f.imag`` are the parts.
    """

    def __init__(self, real, imag):
        self._real = real
        self._imag = imag

    @property
    def real(self):
        """The ``Interpolant`` of the real part."""
        return self._real

    @property
    def imag(self):
        """The ``Interpolant`` of the imaginary part."""
        return self._imag

    def __call__(self, x, nu=0, extrapolate=None):
        """The curve (nu=0) or its derivative of order nu at x, complex."""
        return _joined(self._real(x, nu, extrapolate), self._imag(x, nu, extrapolate))

    def integrate(self, a, b, extrapolate=None):
        """∫ from a to b of each curve, complex; as ``Interpolant.integrate``."""
        return _joined(self._real.integrate(a, b, extrapolate),
                       self._imag.integrate(a, b, extrapolate))

    def derivative(self, nu=1):
        """The derivative of order nu, a ``ComplexInterpolant``."""
        return ComplexInterpolant(self._real.derivative(nu), self._imag.derivative(nu))

    def antiderivative(self, nu=1):
        """The antiderivative of order nu that is 0 at the first knot, a ``ComplexInterpolant``."""
        return ComplexInterpolant(self._real.antiderivative(nu), self._imag.antiderivative(nu))

    def solve(self, y=0.0, discontinuity=True, extrapolate=None):
        """Refused: a complex curve crosses no level; solve ``f.real`` or ``f.imag``.

        Raises
        ------
        ValueError
            Always, naming the parts to solve instead.
        """
        raise ValueError("solve needs a real curve: a complex curve crosses no level; "
                         "solve its parts, f.real.solve(...) or f.imag.solve(...)")

    roots = solve

    @property
    def x(self):
        """The knots, a read-only float64 array."""
        return self._real.x

    @property
    def axis(self):
        """The axis of y that ran along the knots."""
        return self._real.axis

    @property
    def curves_shape(self):
        """The shape of the curves: y's shape without the knots' axis."""
        return self._real.curves_shape

    @property
    def extrapolate(self):
        """The extrapolation mode of both parts."""
        return self._real.extrapolate

    def __repr__(self):
        return f"ComplexInterpolant(real={self._real!r}, imag={self._imag!r})"


def _joined(real, imag):
    result = np.asarray(real) + 1j * np.asarray(imag)
    return result[()] if result.ndim == 0 else result
