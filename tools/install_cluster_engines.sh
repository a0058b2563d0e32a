#!/usr/bin/env bash
# Installs what the stress tier's cluster tests start: Spark (pyspark and a Java
# runtime from Debian), Ray Data, and Dask's DataFrame. Quick when all is there.
set -euo pipefail
PYTHON=${1:-python3}

if ! command -v java >/dev/null; then
    apt-get -o DPkg::Lock::Timeout=900 update -q
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -q openjdk-17-jre-headless
fi
"$PYTHON" -m pip install -q "pyspark>=4.0" "ray[data]>=2.40" "dask[dataframe,distributed]>=2024.1"
