"""View matrices and point projection with korvex.PyProjection."""
import numpy as np

from korvex import PyProjection as P

# The data box [0, 4] x [0, 2] x [0, 1] onto the unit cube, then a perspective view from 10 units away.
world = P.world_transformation(0.0, 4.0, 0.0, 2.0, 0.0, 1.0)
view = np.eye(4)
view[2, 3] = -10.0
M = P.persp_transformation(-10.0, 10.0, 1.0) @ view @ world

xs, ys, zs = np.array([0.0, 2.0, 4.0]), np.array([0.0, 1.0, 2.0]), np.array([0.0, 0.5, 1.0])
tx, ty, tz = P.proj_transform(xs, ys, zs, M)
_, _, _, visible = P.proj_transform_clip(xs, ys, zs, M, 1.0)
back = P.inv_transform(tx, ty, tz, M)  # takes the forward matrix and inverts it itself
print("projected x:", tx, "\nvisible:", visible, "\nround trip x:", back[0])
