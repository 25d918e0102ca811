"""Matplotlib's 3D axes drawing through korvex."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import korvex_mpl  # noqa: E402

x = np.linspace(-2, 2, 80)
X, Y = np.meshgrid(x, x)
with korvex_mpl.enabled():  # or korvex_mpl.install() once for the whole process
    fig = plt.figure()
    ax = fig.add_subplot(projection="3d")
    ax.plot_surface(X, Y, np.exp(-(X**2 + Y**2)), cmap="plasma", rcount=80, ccount=80)
    ax.bar3d([1, 1.5], [-1.5, -1], [0, 0], 0.3, 0.3, [0.5, 0.8], color="C0")
    fig.savefig("surface.png")
print("wrote surface.png")
