"""Depth-sorted projection and shading with korvex.PyPoly3DCollection."""
import numpy as np

from korvex import PyPoly3DCollection, PyProjection

square = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]])
polygons = [square + [0.0, 0.0, z] for z in (0.0, 2.0, 1.0)]
colours = np.array([[1.0, 0.0, 0.0, 1.0], [0.0, 1.0, 0.0, 1.0], [0.0, 0.0, 1.0, 1.0]])

c = PyPoly3DCollection(polygons, facecolors=colours)
c.shade_colors(0.0, 0.0, 1.0)  # light from +z: these faces point at it and keep their colour
c.set_zsort("max")
zmin = c.do_3d_projection(PyProjection.ortho_transformation(-5.0, 5.0))
print("smallest depth:", zmin)
for outline in c.get_sorted_segments_2d():  # in drawing order, the deepest first
    print(outline.tolist())
print("colours (polygon order):", c.get_sorted_facecolors().tolist())
