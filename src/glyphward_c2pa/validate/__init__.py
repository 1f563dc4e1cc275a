"""Validation of a font's C2PA manifests, as C2PA 2.2, 15 describes it, one
module per step: `locate` (15.5), `claim` (15.6), `signature` (15.7, 15.8,
15.9), `assertions` (15.10), `ingredients` (15.11), `content` (15.12); the
states of 14.3 and the report in `report`; `font` runs them."""
