"""Fixtures for the S3 tests: a fresh bucket on the session's moto_server
and a Storvane on it."""
import uuid

import boto3
import pytest

REGION = "us-east-1"


def raw_client(endpoint):
    """A plain boto3 client for setting up and checking buckets."""
    return boto3.client(
        "s3", aws_access_key_id="ak", aws_secret_access_key="sk", region_name=REGION, endpoint_url=endpoint
    )


def keys_of(client, bucket, prefix=""):
    pages = client.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix)
    return sorted(e["Key"] for page in pages for e in page.get("Contents", []))


@pytest.fixture
def s3(moto_endpoint):
    return raw_client(moto_endpoint)


@pytest.fixture
def bucket(s3):
    name = "kt-" + uuid.uuid4().hex[:16]
    s3.create_bucket(Bucket=name)
    return name


@pytest.fixture
def store(task_ctx, bucket, moto_endpoint):
    from kestro.s3.storvane import Storvane

    return Storvane(task_ctx, "ak", "sk", bucket, REGION, endpoint_url=moto_endpoint)
