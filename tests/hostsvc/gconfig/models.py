from django.db import models


class GConfig(models.Model):
    name = models.CharField(max_length=200)
    contents = models.JSONField(default=dict)


class VarConfig(models.Model):
    name = models.CharField(max_length=200)
    contents = models.JSONField(null=True)
