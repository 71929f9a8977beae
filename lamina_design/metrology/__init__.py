"""Measuring films: fits of thicknesses and dispersion models to ellipsometric Ψ and Δ."""
