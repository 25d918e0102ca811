"""Depth-sorted projection and shading with korvex.PyPoly3DCollection."""
import numpy as np

from korvex import PyPoly3DCollection
from korvex import PyProjection as P

# Three unit squares side by side, at heights 0, 2 and 1, so that every outline lands in a place of its own.
square = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]])
names = ["red (x 0..1, z 0)", "green (x 1.5..2.5, z 2)", "blue (x 3..4, z 1)"]
polygons = [square + [x, 0.0, z] for x, z in ((0.0, 0.0), (1.5, 2.0), (3.0, 1.0))]
colours = np.array([[1.0, 0.0, 0.0, 1.0], [0.0, 1.0, 0.0, 1.0], [0.0, 0.0, 1.0, 1.0]])

# The data box onto the unit cube, the eye 10 units back, a perspective projection: as in projection.py.
world = P.world_transformation(0.0, 4.0, 0.0, 1.0, 0.0, 2.0)
view = np.eye(4)
view[2, 3] = -10.0
M = P.persp_transformation(-10.0, 10.0, 1.0) @ view @ world

c = PyPoly3DCollection(polygons, facecolors=colours)
c.shade_colors(0.0, 0.0, 1.0)  # light from +z: these faces point at it and keep their colour
c.set_zsort("max")
print("smallest depth:", c.do_3d_projection(M))

# Each polygon's own outline, projected point by point with the same rule, tells the sorted outlines apart.
own = [np.stack(P.proj_transform(*np.ascontiguousarray(p.T), M)[:2], axis=1) for p in polygons]
print("drawing order, the deepest first:")
for outline in c.get_sorted_segments_2d():
    i = next(k for k, o in enumerate(own) if np.array_equal(o, outline))
    print(f"  {names[i]:24}", np.round(outline, 4).tolist())
print("colours (polygon order):", c.get_sorted_facecolors().tolist())
