"""Designs that meet targets: least-squares refinement, synthesis (needle, gradual evolution) and
global searches."""
