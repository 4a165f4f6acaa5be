# Mistakes the stubs must catch.
import velarix

spline = velarix.Tension().fit([0.0, 1.0], [0.0, 1.0])  # E: a list is not a buffer
count: str = spline.iterations  # E: iterations is an int
velarix.Tension().with_max_iterations(2.5)  # E: a count, not a float
velarix.interpolate([0.0, 1.0], [0.0, 1.0], extrapolate="zero")  # E: not a mode
velarix.interpolate([0.0, 1.0], [0.0, 1.0], "not-a-method")  # E: not a method
