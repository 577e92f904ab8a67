from django.apps import AppConfig


class Config(AppConfig):
    name = "hostsvc.gconfig"
    label = "gconfig"
